#!/usr/bin/env bash
# The main job: cross-builds XINPUT1_3.dll and leaves the release folder (out/release) with
# the DLL and the default CorvaneVR.ini, ready to drop beside the game's executable.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target xinput_proxy

mkdir -p out/release
cp build/release/src/XINPUT1_3.dll out/release/
cp config/CorvaneVR.ini out/release/
echo "release folder: out/release"
ls -l out/release
