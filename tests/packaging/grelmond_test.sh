#!/bin/sh
# grelmond_test.sh BIN WORK
# The service host Grelmond from BIN, in a program folder with a blank in its
# name below WORK, against a private home: every switch on the autostart
# path (no systemd user manager), -r and -k with the real program, the log
# fallback for a folder it cannot write, and the systemd path against a
# stand-in systemctl.
set -eu
bin=$1 work=$2

fail() {
    echo "FAIL: $*" >&2
    [ -f "$log" ] && sed 's/^/  log: /' "$log" >&2
    exit 1
}

rm -rf "$work"
prog="$work/pro gram"
mkdir -p "$prog" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
cp "$bin/Grelmond" "$prog/Grelmond"
ln -s "$bin/veldrin" "$prog/veldrin"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
export XDG_RUNTIME_DIR="$work/runtime" GRELMOND_SYSTEMCTL="$work/no-systemctl"
host=$prog/Grelmond
log=$prog/Grelmond.txt
autostart=$XDG_CONFIG_HOME/autostart/veldrin.desktop
name="Veldrin Service"

# host ARGS-separated-by-| : runs the host, sets $status.
host() {
    old=$IFS
    IFS='|'
    set -f
    # shellcheck disable=SC2086 # split on | on purpose
    set -- $1
    IFS=$old
    set +f
    status=0
    "$host" "$@" >/dev/null 2>&1 || status=$?
}
expect() { # STATUS LOG-TEXT
    [ "$status" -eq "$1" ] || fail "status $status, expected $1"
    tail -n 1 "$log" | grep -qF -- "$2" || fail "last log line lacks: $2"
}

for args in "" "-x" "-r" "-i|extra" "-r|Other Service" "-k|veldrin service" "-u|$name" "-r|$name|x"; do
    host "$args"
    expect 2 "wrong command line"
done
[ ! -e "$autostart" ] || fail "a wrong command line installed something"

host "-i"
expect 0 "-i: installed the autostart entry $autostart"
grep -qxF "Exec=\"$prog/veldrin\"" "$autostart" || fail "autostart Exec line: $(grep Exec "$autostart")"
grep -qx "Type=Application" "$autostart" || fail "autostart entry type"

# -r starts the program, -k ends it the way Exit does (settings saved).
mkdir -p "$XDG_CONFIG_HOME/veldrin"
printf '[Ports]\nCOM1=/nonexistent/tty\n[Startup]\nHouseCode=C\n' >"$XDG_CONFIG_HOME/veldrin/veldrin.conf"
host "-r|$name"
expect 0 "-r: started $prog/veldrin (process "
pid=
tries=0
while [ "$tries" -lt 300 ]; do
    # Running, and its handler for SIGTERM (bit 15) installed.
    pid=$(head -n 1 "$XDG_RUNTIME_DIR/veldrin.lock" 2>/dev/null || true)
    mask=$(sed -n 's/^SigCgt:\t*//p' "/proc/${pid:-0}/status" 2>/dev/null || true)
    [ -n "$mask" ] && [ $((0x$mask & 0x4000)) -ne 0 ] && break
    sleep 0.1
    tries=$((tries + 1))
done
[ "$tries" -lt 300 ] || fail "the program did not start"
host "-r|$name"
expect 0 "-r: Veldrin already runs (process $pid)"
host "-k|$name"
expect 0 "-k: stopped Veldrin (process $pid)"
! kill -0 "$pid" 2>/dev/null || [ "$(cut -d' ' -f3 "/proc/$pid/stat")" = Z ] || fail "process $pid still runs"
grep -q '^F1Top=' "$XDG_CONFIG_HOME/veldrin/veldrin.conf" || fail "the program did not save its settings"
host "-k|$name"
expect 0 "-k: Veldrin does not run; nothing to stop"

host "-u"
expect 0 "-u: removed the autostart entry $autostart"
[ ! -e "$autostart" ] || fail "-u left the autostart entry"
host "-u"
expect 0 "-u: removed nothing"

# A program folder it cannot write: the log goes to the state folder.
ro=$work/readonly
mkdir -p "$ro" "$work/rostate"
cp "$host" "$ro/Grelmond"
chmod 777 "$work/rostate"
if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || { echo "setpriv missing: cannot drop root" >&2; exit 77; }
    as="setpriv --reuid=65534 --regid=65534 --clear-groups"
else
    chmod 555 "$ro"
    as=
fi
$as env HOME="$work/rostate" XDG_STATE_HOME="$work/rostate" XDG_CONFIG_HOME="$work/rostate" \
    "$ro/Grelmond" -u >/dev/null || fail "-u in a read-only folder"
[ ! -e "$ro/Grelmond.txt" ] || fail "log written into the read-only folder"
grep -q -- "-u: removed nothing" "$work/rostate/veldrin/Grelmond.txt" || fail "no log in the state folder"

# Root may write a system folder (a package's /usr/bin), but no package owns
# a file written there: the log goes to root's state folder. /opt stands in
# for the system folder, on a private tmpfs in a mount namespace of its own.
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private sh -c '
        mount -t tmpfs tmpfs /opt || exit 1
        mkdir -p /opt/veldrin/bin && cp "$1" /opt/veldrin/bin/Grelmond || exit 1
        env HOME="$2" XDG_STATE_HOME="$2" /opt/veldrin/bin/Grelmond -u >/dev/null || exit 1
        [ ! -e /opt/veldrin/bin/Grelmond.txt ]' sh "$host" "$work/rootstate" ||
        fail "root wrote the log into the system folder"
    grep -q -- "-u: removed nothing" "$work/rootstate/veldrin/Grelmond.txt" || fail "no log in root's state folder"
fi

# With a systemd user manager and a desktop that starts
# graphical-session.target: a user unit instead of the autostart entry.
calls=$work/systemctl.calls
cat >"$work/systemctl" <<STUB
#!/bin/sh
echo "\$*" >>"$calls"
case "\$*" in
"--user is-active --quiet veldrin.service") exit 3 ;;
esac
exit 0
STUB
chmod +x "$work/systemctl"
export GRELMOND_SYSTEMCTL="$work/systemctl"
unit=$XDG_CONFIG_HOME/systemd/user/veldrin.service
host "-i"
expect 0 "-i: installed the systemd user unit $unit"
grep -qxF "ExecStart=\"$prog/veldrin\"" "$unit" || fail "unit ExecStart: $(grep ExecStart "$unit")"
grep -qx "WantedBy=graphical-session.target" "$unit" || fail "unit not wanted by the session"
[ ! -e "$autostart" ] || fail "both a unit and an autostart entry"
host "-r|$name"
expect 0 "-r: started veldrin.service"
host "-u"
expect 0 "-u: removed the systemd user unit $unit"
[ ! -e "$unit" ] || fail "-u left the unit"
for call in "--user enable veldrin.service" "--user start veldrin.service" "--user disable veldrin.service"; do
    grep -qxF -- "$call" "$calls" || fail "systemctl $call was not run"
done
echo "Grelmond: all switches behave"
