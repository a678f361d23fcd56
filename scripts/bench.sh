#!/usr/bin/env bash
# Builds the Windows test build and runs the whole-program benchmarks under Wine: the frame cost
# of the program against the game alone and a copy-only build, its heap allocations per frame,
# and XInputGetState through the program against the system library. Not part of the test run.
#   scripts/bench.sh [rounds] [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
frames=${2:-300}

bash scripts/install-deps.sh
bash scripts/configure-windows-test-build.sh build/windows
cmake --build build/windows -j "$(nproc)" --target frame_cost_bench

proxy="Z:$(pwd | tr / \\\\)\\build\\windows\\src\\XINPUT1_3.dll"
echo "== XInput proxy"
bash scripts/with-wine.sh build/windows /usr/lib/wine/wine64 build/windows/bench/xinput/xinput_proxy_bench.exe "$proxy"
for phase in gameplay menu; do
    echo "== frame cost, $phase"
    bash scripts/with-wine.sh build/windows python3 bench/frame_cost.py --build build/windows --rounds "$rounds" \
        --frames "$frames" --phase "$phase"
done
