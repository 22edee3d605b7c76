#!/bin/sh
# deb_test.sh BUILD WORK
# Makes the three Debian packages of BUILD as `cmake --build BUILD --target
# package` does and checks their files, fields and lintian's verdict. As
# root, it then installs them into this (throwaway) system, starts the daemon
# as the unit would against the emulator, removes and purges them, and checks
# what each step leaves.
set -eu
build=$1 work=$2

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
for tool in dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || {
        echo "SKIP: $tool not found (Debian package dpkg-dev)"
        exit 77
    }
done

rm -rf "$work"
mkdir -p "$work"
"${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    fail "cpack (see $work/cpack.log)"
deb() { # deb NAME: the package file of NAME
    f=$(ls "$work/$1"_*.deb 2>/dev/null | head -n 1)
    [ -n "$f" ] || fail "no $1_*.deb in $work"
    echo "$f"
}
app=$(deb veldrin) lib=$(deb libpandrel1) dev=$(deb libpandrel-dev)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=./usr/lib/$triplet

# has DEB FILE...: each FILE is in DEB; lacks DEB PATTERN: no line matches.
has() {
    d=$1
    shift
    list=$(dpkg-deb -c "$d")
    for f in "$@"; do
        printf '%s\n' "$list" | grep -q " $f\( -> .*\)\?\$" || fail "$f not in $(basename "$d")"
    done
}
lacks() {
    ! dpkg-deb -c "$1" | grep -q "$2" || fail "$(basename "$1") has $2: $(dpkg-deb -c "$1" | grep "$2")"
}
for d in "$app" "$lib" "$dev"; do
    name=$(dpkg-deb -f "$d" Package)
    has "$d" "./usr/share/doc/$name/copyright" "./usr/share/doc/$name/changelog.Debian.gz"
    lacks "$d" '_CPack_Packages'
done
has "$app" ./usr/bin/veldrin ./usr/bin/veldrind ./usr/bin/veldrin-cmd ./usr/bin/veldrin-sim ./usr/bin/Grelmond \
    ./usr/lib/systemd/system/veldrin.service ./usr/lib/sysusers.d/veldrin.conf \
    ./usr/share/applications/veldrin.desktop ./usr/share/man/man1/veldrin.1.gz ./usr/share/man/man1/veldrind.1.gz \
    ./usr/share/man/man1/veldrin-cmd.1.gz ./usr/share/man/man1/veldrin-sim.1.gz ./usr/share/man/man5/veldrin.conf.5.gz \
    ./etc/veldrin/veldrin.conf ./usr/share/doc/veldrin/examples/veldrin.conf \
    "$libdir/veldrin/libveldrin-platform-widgets.so.1"
lacks "$app" 'libpandrel\|/include/\|/cmake/'
lacks "$app" '/man/.*[0-9]$'
for l in libpandrel libpandrel-engine libveldrin-x10 libveldrin-platform libveldrin-serial; do
    has "$lib" "$libdir/$l.so.1"
    has "$dev" "$libdir/$l.so"
done
lacks "$lib" '\.so \|/include/\|/cmake/\|/bin/'
has "$dev" ./usr/include/pandrel/controlcm.h ./usr/include/pandrel/engine.h ./usr/include/pandrel/x10.h \
    "$libdir/cmake/pandrel/pandrelConfig.cmake"
lacks "$dev" ' \./[^ ]*\.so\.[0-9.]*\( ->\|$\)'
dpkg-deb -I "$lib" triggers | grep -qx 'activate-noawait ldconfig' || fail "libpandrel1 lacks the ldconfig trigger"
dpkg-deb -I "$lib" shlibs | grep -q '^libpandrel 1 libpandrel1 ' || fail "libpandrel1 lacks its shlibs"

depends=$(dpkg-deb -f "$app" Depends)
version=$(dpkg-deb -f "$app" Version)
for want in "libpandrel1 (= $version)" libqt6core6 libqt6widgets6 libqt6network6 libc6 libmosquitto1; do
    printf '%s\n' "$depends" | grep -qF "$want" || fail "veldrin's Depends lacks $want: $depends"
done
[ "$(dpkg-deb --info "$app" conffiles)" = /etc/veldrin/veldrin.conf ] ||
    fail "the sample settings file is not the package's conffile"
for script in postinst prerm postrm; do
    dpkg-deb -I "$app" | grep -q " $script" || fail "no $script in the package"
done
dpkg-deb -f "$dev" Depends | grep -qF "libpandrel1 (= $version)" || fail "libpandrel-dev does not depend on libpandrel1"

# Stripped, and no search path but the window's private folder.
dpkg-deb -x "$app" "$work/root"
dpkg-deb -x "$lib" "$work/root"
for f in "$work"/root/usr/bin/* "$work"/root/usr/lib/"$triplet"/*.so.1 "$work"/root/usr/lib/"$triplet"/veldrin/*.so.1; do
    file -L "$f" | grep -q ELF || continue
    ! file -L "$f" | grep -q 'not stripped' || fail "$f is not stripped"
    rpath=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p')
    case "$f" in
    */bin/veldrin) [ "$rpath" = "/usr/lib/$triplet/veldrin" ] || fail "$f search path: $rpath" ;;
    *) [ -z "$rpath" ] || fail "$f has a search path: $rpath" ;;
    esac
done
grep -qx 'ExecStart=/usr/bin/veldrind --config /etc/veldrin/veldrin.conf --password-file /etc/veldrin/password' \
    "$work/root/usr/lib/systemd/system/veldrin.service" || fail "unit does not start /usr/bin/veldrind"
for d in "$app" "$lib" "$dev"; do
    echo "$(basename "$d"): Installed-Size $(dpkg-deb -f "$d" Installed-Size) KiB"
done

if command -v lintian >/dev/null; then
    # Errors fail; the warnings kept are listed in the README.
    lintian --fail-on error "$app" "$lib" "$dev" >"$work/lintian.log" 2>&1 ||
        fail "lintian: $(grep -v '^N:' "$work/lintian.log")"
    for p in veldrin libpandrel1 libpandrel-dev; do
        echo "lintian $p: $(grep -c "^E: $p:" "$work/lintian.log") errors, $(grep -c "^W: $p:" "$work/lintian.log") warnings"
    done
    grep '^[EW]:' "$work/lintian.log" || true
    # An optimised build is hardened throughout: fortified string and memory
    # calls, symbols bound at start-up, read-only relocations.
    if grep -Eq '^CMAKE_BUILD_TYPE:[A-Z]+=(Release|RelWithDebInfo|MinSizeRel)$' "$build/CMakeCache.txt" &&
        ! grep -q '^VELDRIN_SANITIZE:BOOL=ON$' "$build/CMakeCache.txt"; then
        lintian -I --tags hardening-no-bindnow,hardening-no-fortify-functions,hardening-no-relro,hardening-no-pie \
            "$app" "$lib" "$dev" >"$work/hardening.log" 2>&1 || true
        ! grep -q '^[EWI]: ' "$work/hardening.log" || fail "lintian: $(grep '^[EWI]: ' "$work/hardening.log")"
    fi
else
    echo "lintian not found (Debian package lintian): packages not checked"
fi

# Installing into the system needs root and no installed veldrin of anyone else.
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "SKIP: installing needs root and setpriv"
    exit 77
fi
if dpkg-query -W -f='${Status}' veldrin 2>/dev/null | grep -q 'install ok'; then
    echo "SKIP: a veldrin package is installed already; not touching it"
    exit 77
fi
sim_pid= daemon_pid=
cleanup() {
    [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    dpkg -P veldrin libpandrel-dev libpandrel1 >/dev/null 2>&1 || true
}
trap cleanup EXIT
dpkg -P veldrin libpandrel-dev libpandrel1 >/dev/null 2>&1 || true
dpkg -i "$lib" "$dev" "$app" >"$work/dpkg-install.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg-install.log")"
getent passwd veldrin >/dev/null || fail "no user veldrin after installing"
[ "$(stat -c '%U:%G %a' /etc/veldrin)" = "root:veldrin 750" ] || fail "/etc/veldrin: $(stat -c '%U:%G %a' /etc/veldrin)"
wants=/etc/systemd/system/multi-user.target.wants/veldrin.service
[ -L "$wants" ] || fail "the service is not enabled ($wants missing)"
ldconfig -p | grep -q "libpandrel.so.1 .*=> .*lib/$triplet/libpandrel.so.1" || fail "the loader does not know libpandrel.so.1"

# The daemon as the unit starts it: its user, groups, environment and
# command line, against the emulator on a pseudo-terminal.
mkfifo "$work/sim-in"
exec 3<>"$work/sim-in"
/usr/bin/veldrin-sim <&3 >"$work/sim.out" 2>&1 &
sim_pid=$!
tries=0
until grep -q '^device: ' "$work/sim.out"; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || fail "the emulator did not start: $(cat "$work/sim.out")"
    sleep 0.1
done
tty=$(sed -n 's/^device: //p' "$work/sim.out")
chgrp dialout "$tty" && chmod 660 "$tty"
printf '[Ports]\nCOM1=%s\n[Startup]\nListenAddress=127.0.0.1\nListenPort=%s\n' "$tty" $((20000 + $$ % 20000)) >/etc/veldrin/veldrin.conf
printf 'secret\n' >/etc/veldrin/password
chown veldrin:veldrin /etc/veldrin/veldrin.conf /etc/veldrin/password
chmod 600 /etc/veldrin/password
install -d -o veldrin -g veldrin -m 700 /run/veldrin
install -d -o veldrin -g veldrin -m 750 /var/lib/veldrin /var/cache/veldrin
exec_start=$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/system/veldrin.service)
# shellcheck disable=SC2086 # the unit's command line, split as systemd does
env -i PATH=/usr/bin:/bin HOME=/var/lib/veldrin XDG_STATE_HOME=/var/lib/veldrin XDG_RUNTIME_DIR=/run/veldrin \
    XDG_CACHE_HOME=/var/cache/veldrin \
    setpriv --reuid=veldrin --regid=veldrin --groups=dialout --no-new-privs $exec_start \
    >"$work/daemon.out" 2>&1 &
daemon_pid=$!
tries=0
until grep -q 'Found Pandrel Interface on Com: 1' "$work/daemon.out"; do
    tries=$((tries + 1))
    kill -0 "$daemon_pid" 2>/dev/null || fail "the daemon ended: $(cat "$work/daemon.out")"
    [ "$tries" -lt 200 ] || fail "the daemon did not find the interface: $(cat "$work/daemon.out")"
    sleep 0.1
done
kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=
[ "$status" -eq 0 ] || fail "the daemon ended with status $status on SIGTERM: $(cat "$work/daemon.out")"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=
exec 3>&-

# Removal keeps the settings and the user; purge takes the settings, the
# state and the enable link; the user stays.
dpkg -r veldrin libpandrel-dev libpandrel1 >"$work/dpkg-remove.log" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg-remove.log")"
[ ! -e /usr/bin/veldrind ] || fail "veldrind still installed after removal"
[ -f /etc/veldrin/password ] || fail "removal took /etc/veldrin/password"
dpkg -P veldrin libpandrel-dev libpandrel1 >"$work/dpkg-purge.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg-purge.log")"
for gone in /etc/veldrin /var/lib/veldrin /var/cache/veldrin "$wants" /etc/systemd/system/veldrin.service \
    "/usr/lib/$triplet/libpandrel.so.1"; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone remains after purge"
done
getent passwd veldrin >/dev/null || fail "purge removed the user veldrin"
echo "installed, ran, removed and purged: $(basename "$app") $(basename "$lib") $(basename "$dev")"
