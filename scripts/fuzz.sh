#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for the given number of
# seconds (default 60), starting from its seed corpus. New inputs go to build/fuzz/corpus/<target>
# (the seeds in the repository stay as they are). A failing input is written to
# build/fuzz/findings/; the other targets still run, and the script then exits non-zero.
# Target names after the seconds run only those targets. FUZZ_FLAGS adds libFuzzer flags, e.g.
# FUZZ_FLAGS="-runs=10000000 -max_len=256" for a run of a given length with short inputs.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
all_targets=(settings import_hook optical_projection hud_projection gamepad_mapping scenario runtime_manifest)
[ $# -gt 0 ] && targets=("$@") || targets=("${all_targets[@]}")

bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_WERROR=ON \
    -DCORVANE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets

mkdir -p build/fuzz/findings
failed=()
for target in "${targets[@]}"; do
    echo "== fuzz $target for ${seconds}s"
    work=build/fuzz/corpus/$target
    mkdir -p "$work"
    log=build/fuzz/$target.log
    if ! "build/fuzz/tests/fuzz/fuzz_$target" "$work" "tests/fuzz/corpus/$target" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target-" ${FUZZ_FLAGS:-} >"$log" 2>&1; then
        failed+=("$target")
    fi
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE|ERROR|SUMMARY|property violated|^Test unit written' \
        "$log" || true
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "findings in: ${failed[*]} (inputs under build/fuzz/findings)"
    exit 1
fi
