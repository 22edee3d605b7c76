#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for the given
# number of seconds on its seed corpus (tests/fuzz/corpus/NAME). Skipped with
# a message when clang is not installed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
if ! command -v clang++ >/dev/null 2>&1; then
    echo "== Fuzzing skipped: clang++ is not installed"
    exit 0
fi
source scripts/deps.sh
CC=clang CXX=clang++ veldrin_configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELDRIN_FUZZ=ON -DVELDRIN_SANITIZE=ON
cmake --build build-fuzz --target fuzz_all -j "$(nproc)"
shopt -s nullglob
targets=(build-fuzz/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
    echo "== No fuzz targets yet"
    exit 0
fi
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
for t in "${targets[@]}"; do
    name=${t##*/fuzz_}
    corpus=tests/fuzz/corpus/$name
    work=build-fuzz/corpus/$name
    mkdir -p "$work" "$corpus"
    echo "== Fuzzing $name for ${seconds}s"
    "$t" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=512 "$work" "$corpus" 2>&1 | tail -n 3
done
