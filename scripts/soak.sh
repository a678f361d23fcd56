#!/usr/bin/env bash
# The long soak: the stand-in game with the DLL and the stand-in runtime for 20,000 frames (or
# the given number) under a seeded random fault schedule, under Wine. Prints the table of frames,
# faults, recoveries, log lines and private bytes, and fails when a check fails. The test command
# runs the 1,000-frame form (ctest entries soak_short and soak_short_openxr).
#   scripts/soak.sh [frames] [seed] [openvr|openxr]
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-20000}
seed=${2:-1}
headset=${3:-openvr}
case "$headset" in
openvr) runtime=build/windows/tools/vrsim/openvr_api.dll ;;
openxr) runtime=build/windows/tools/xrsim/xrsim.dll ;;
*) echo "soak: the headset is openvr or openxr, not $headset" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh
bash scripts/configure-windows-test-build.sh build/windows
cmake --build build/windows -j "$(nproc)" --target testgame vrsim xrsim xinput_proxy
# A Wine prefix of its own, so a long soak and the tests can run side by side without sharing
# a desktop (focus) or a wineserver (each run stops its own when it ends).
mkdir -p build/soak
bash scripts/with-wine.sh build/soak python3 tests/soak/soak.py --work "build/soak/long_$headset" \
    --game build/windows/tools/testgame/game/testgame.exe --dll build/windows/src/XINPUT1_3.dll \
    --runtime "$runtime" --ini config/CorvaneVR.ini --frames "$frames" --seed "$seed" --headset "$headset"
