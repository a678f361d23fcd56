#!/usr/bin/env bash
# Every test: formatting, the layering of src/, the native unit tests (plain and under ASan/UBSan), the frame
# driver against game threads under ThreadSanitizer, one run of every fuzz target over its seed
# corpus, and the Windows-side tests under Wine with a private X display. Fails when anything
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== layers"
python3 scripts/check_layers.py

echo "== native"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_WERROR=ON >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native -LE fuzz_corpus --output-on-failure

echo "== native, ASan + UBSan"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_WERROR=ON -DCORVANE_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize -LE fuzz_corpus --output-on-failure

echo "== native threads, ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_WERROR=ON -DCORVANE_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target corvane_thread_tests
# A race report makes the program exit non-zero, so it fails the run.
ctest --test-dir build/tsan -R '^thread_tests$' --output-on-failure

echo "== fuzz corpora"
# Every fuzz target once over each file of its seed corpus, under ASan + UBSan: a fixed replay,
# not a timed run (scripts/fuzz.sh fuzzes). The replay programs come with the sanitizer build.
ctest --test-dir build/sanitize -L fuzz_corpus --output-on-failure

echo "== windows, under Wine"
bash scripts/configure-windows-test-build.sh build/windows
cmake --build build/windows -j "$jobs"
# A program that crashes can wait on Wine instead of exiting; the timeout turns that into a failure.
bash scripts/with-wine.sh build/windows ctest --test-dir build/windows --output-on-failure --timeout 600
