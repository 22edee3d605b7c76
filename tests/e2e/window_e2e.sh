#!/usr/bin/env bash
# End to end under a virtual X display: the program finds the emulated
# two-way interface, a second start ends at once, and Exit through the popup
# menu writes the settings file.
#   window_e2e.sh VELDRIN E2E_SIM
# Exit status 77 (skipped) when xvfb-run or xdotool is missing.
set -u
veldrin=$1
simtool=$2

if [ "${3:-}" != "--inner" ]; then
    for tool in xvfb-run xdotool; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "SKIP: $tool is not installed"
            exit 77
        fi
    done
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$veldrin" "$simtool" --inner
fi

work=$(mktemp -d)
simpid=""
vpid=""
cleanup() {
    [ -n "$vpid" ] && kill "$vpid" 2>/dev/null
    [ -n "$simpid" ] && kill "$simpid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- emulator output"; cat "$work/sim.out" 2>/dev/null
    echo "--- program output"; cat "$work/veldrin.out" 2>/dev/null
    echo "--- settings"; cat "$work/config/veldrin/veldrin.conf" 2>/dev/null
    exit 1
}
# wait_for SECONDS COMMAND...: polls every 100 ms.
wait_for() {
    local tries=$(($1 * 10))
    shift
    while [ $tries -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/veldrin" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

"$simtool" >"$work/sim.out" 2>&1 &
simpid=$!
wait_for 10 grep -q '^device: ' "$work/sim.out" || fail "the emulator printed no device"
device=$(sed -n 's/^device: //p' "$work/sim.out")
printf '[Ports]\nCOM1=%s\n' "$device" >"$XDG_CONFIG_HOME/veldrin/veldrin.conf"

"$veldrin" >"$work/veldrin.out" 2>&1 &
vpid=$!
wid=""
find_window() { wid=$(xdotool search --name '^Veldrin Pro \(HouseCode: A\) - 0$' 2>/dev/null | head -1); [ -n "$wid" ]; }
wait_for 20 find_window || fail "no main window appeared"
echo "window $wid: $(xdotool getwindowname "$wid")"

wait_for 20 grep -q '^status-requests: [1-9]' "$work/sim.out" ||
    fail "the status probe (0x8B) never reached the emulator"

# A second start ends at once with status 1, says why and shows no window.
timeout 10 "$veldrin" >"$work/second.out" 2>&1
status=$?
[ $status -eq 1 ] || fail "second start ended with $status"
grep -q "another instance already runs" "$work/second.out" || fail "second start did not say why"
[ "$(xdotool search --name '^Veldrin Pro' 2>/dev/null | wc -l)" -eq 1 ] || fail "a second window appeared"

# Exit through the popup menu: right click on the window's free surface
# (left of the unit labels, where the hidden slider sits), then its access key.
sleep 0.5
exited() { ! kill -0 "$vpid" 2>/dev/null; }
for attempt in 1 2 3; do
    xdotool mousemove --window "$wid" 10 8 click 3
    sleep 0.5
    xdotool key e
    wait_for 5 exited && break
done
exited || fail "Exit through the popup menu did not end the program"
wait "$vpid"
status=$?
vpid=""
[ $status -eq 0 ] || fail "the program ended with status $status"

conf=$XDG_CONFIG_HOME/veldrin/veldrin.conf
grep -q '^HouseCode=A$' "$conf" || fail "HouseCode not saved"
grep -q '^ComPort=1$' "$conf" || fail "ComPort not saved"
grep -q '^F1Top=" [0-9]*"$' "$conf" || fail "F1Top not saved with its leading blank"
grep -q '^F1Left=" [0-9]*"$' "$conf" || fail "F1Left not saved with its leading blank"
[ ! -e "$XDG_RUNTIME_DIR/veldrin.lock" ] || fail "the instance lock was left behind"
echo "PASS"
