#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for the given
# number of seconds on its seed corpus (tests/fuzz/corpus/NAME). Every target
# runs; the script fails when any of them found a crash, a sanitizer report, a
# time-out or ran out of memory, and prints that target's report. Inputs that
# found a fault are kept in build-fuzz/artifacts/NAME/. Skipped with a message
# when clang is not installed.
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
failed=()
for t in "${targets[@]}"; do
    name=${t##*/fuzz_}
    corpus=tests/fuzz/corpus/$name
    work=build-fuzz/corpus/$name
    artifacts=build-fuzz/artifacts/$name
    log=build-fuzz/logs/$name.log
    mkdir -p "$work" "$artifacts" "${log%/*}"
    seeds=()
    [ -d "$corpus" ] && seeds=("$corpus") || echo "   (no seed corpus in $corpus)"
    echo "== Fuzzing $name for ${seconds}s"
    status=0
    "$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=512 \
        -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
    if [ $status -eq 0 ]; then
        tail -n 2 "$log"
    else
        echo "!! $name failed (exit status $status); the end of its log ($log):"
        tail -n 60 "$log"
        failed+=("$name")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "== Fuzzing found faults in: ${failed[*]}"
    exit 1
fi
echo "== Fuzzing: every target ran ${seconds}s without a fault"
