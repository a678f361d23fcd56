#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when they are there.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang-format
    libgtest-dev googletest libbenchmark-dev
    mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    wine64 xvfb libstb-dev
    clang libclang-rt-14-dev
    python3 libopenxr-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
