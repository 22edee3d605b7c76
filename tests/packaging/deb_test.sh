#!/bin/sh
# deb_test.sh BUILD WORK
# Makes the Debian package of BUILD as `cmake --build BUILD --target package`
# does, and checks its files, its dependencies and its maintainer scripts.
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
deb=$(ls "$work"/veldrin_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no veldrin_*.deb in $work"

contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/veldrin ./usr/bin/veldrind ./usr/bin/veldrin-cmd ./usr/bin/veldrin-sim ./usr/bin/Grelmond \
    ./usr/lib/systemd/system/veldrin.service ./usr/lib/sysusers.d/veldrin.conf \
    ./usr/share/applications/veldrin.desktop ./usr/share/man/man1/veldrin.1 \
    ./usr/share/man/man1/veldrin-cmd.1 ./usr/share/man/man1/veldrin-sim.1 ./usr/share/man/man5/veldrin.conf.5 \
    ./etc/veldrin/veldrin.conf ./usr/share/doc/veldrin/examples/veldrin.conf \
    ./usr/include/pandrel/controlcm.h; do
    printf '%s\n' "$contents" | grep -q " $f\$" || fail "$f not in the package: $contents"
done
printf '%s\n' "$contents" | grep -q ' ./usr/lib/libpandrel\.so\.' || fail "libpandrel not in the package"
! printf '%s\n' "$contents" | grep -q '_CPack_Packages' || fail "staging paths leaked into the package"

info=$(dpkg-deb -I "$deb")
depends=$(printf '%s\n' "$info" | sed -n 's/^ Depends: //p')
for lib in libqt6core6 libqt6widgets6 libqt6network6 libc6 libmosquitto1; do
    printf '%s\n' "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done
! printf '%s\n' "$depends" | grep -q 'pandrel' || fail "Depends names the package's own library: $depends"
[ "$(dpkg-deb -f "$deb" Package >/dev/null && dpkg-deb --info "$deb" conffiles)" = /etc/veldrin/veldrin.conf ] ||
    fail "the sample settings file is not the package's conffile"
for script in postinst prerm postrm; do
    printf '%s\n' "$info" | grep -q " $script" || fail "no $script in the package"
done

# The unit names the program where the package puts it.
dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/bin/veldrind --config /etc/veldrin/veldrin.conf --password-file /etc/veldrin/password' \
    "$work/root/usr/lib/systemd/system/veldrin.service" || fail "unit does not start /usr/bin/veldrind"
echo "package $(basename "$deb"): Depends: $depends"
