#!/usr/bin/env bash
# Makes docs/veldrin.png: the program, with its logs shown, running under a
# virtual X display against the emulated two-way interface. Needs a built
# tree (build/bin/veldrin and build/bin/veldrin-sim) and xvfb-run.
#   scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/veldrin.png}
bin=build/bin
for f in "$bin/veldrin" "$bin/veldrin-sim"; do
    [ -x "$f" ] || { echo "missing $f: build first (cmake --build build)" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed (package xvfb)" >&2; exit 1; }

work=$(mktemp -d)
simpid=""
cleanup() {
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/sim.in"
"$bin/veldrin-sim" <"$work/sim.in" >"$work/sim.out" 2>&1 &
simpid=$!
exec 3>"$work/sim.in"
for _ in $(seq 100); do
    grep -q '^device: ' "$work/sim.out" && break
    sleep 0.1
done
device=$(sed -n 's/^device: //p' "$work/sim.out")
[ -n "$device" ] || { echo "the emulator did not start" >&2; exit 1; }

export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/veldrin" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[Ports]\nCOM1=%s\n' "$device" >"$XDG_CONFIG_HOME/veldrin/veldrin.conf"

mkdir -p "$(dirname "$out")"
VELDRIN_SCREENSHOT=$(realpath -m "$out") timeout 60 \
    xvfb-run -a -s "-screen 0 1024x768x24" "$bin/veldrin"
exec 3>&-
echo "wrote $out"
