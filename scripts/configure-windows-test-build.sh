#!/usr/bin/env bash
# Configures the Windows test build in BUILD_DIR so that its DLL accepts the stand-in game:
# the game is built first, and its file digest becomes the one extra accepted digest. The
# release build (scripts/build.sh) never does this.
# Usage: scripts/configure-windows-test-build.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCORVANE_WERROR=ON >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target testgame
digest=$(cat "$build_dir/tools/testgame/testgame.sha256")
cmake -S . -B "$build_dir" -DCORVANE_EXTRA_SUPPORTED_SHA256="$digest" >/dev/null
echo "test build accepts the stand-in game, SHA-256 $digest"
