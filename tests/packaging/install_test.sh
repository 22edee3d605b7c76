#!/bin/sh
# install_test.sh BUILD WORK VERSION CXX CXXFLAGS LAUNCHER
# Installs BUILD into WORK/prefix, checks the installed files, that the
# installed programs load their libraries from the prefix, and builds and
# runs a program against the installed pandrel package.
set -eu
cmake=${CMAKE:-cmake}
build=$1 work=$2 version=$3 cxx=$4 cxxflags=$5 launcher=$6

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# lib_dir FILE LIBNAME: the folder the loader takes LIBNAME from for FILE.
lib_dir() {
    path=$(env -u LD_LIBRARY_PATH ldd "$1" | sed -n "s/^[[:space:]]*$2[^ ]* => \(.*\) (0x.*/\1/p")
    [ -n "$path" ] && realpath "$(dirname "$path")"
}

rm -rf "$work"
mkdir -p "$work"
prefix=$(realpath "$work")/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install (see $work/install.log)"
# Libraries in the multiarch folder, as on Debian (lib where there is none).
libdir=lib
triplet=$(gcc -print-multiarch 2>/dev/null || true)
[ -z "$triplet" ] || libdir=lib/$triplet

for f in bin/veldrin bin/veldrind bin/veldrin-sim bin/veldrin-cmd bin/pandrel-event-wait bin/Grelmond; do
    [ -x "$prefix/$f" ] || fail "$f missing or not executable"
done
for f in include/pandrel/controlcm.h include/pandrel/engine.h include/pandrel/x10.h $libdir/cmake/pandrel/pandrelConfig.cmake \
    $libdir/cmake/pandrel/pandrelConfigVersion.cmake share/applications/veldrin.desktop \
    share/icons/hicolor/16x16/apps/veldrin.png share/icons/hicolor/scalable/apps/veldrin.svg \
    share/man/man1/veldrin.1.gz share/man/man1/veldrind.1.gz share/man/man1/veldrin-cmd.1.gz \
    share/man/man1/veldrin-sim.1.gz share/man/man5/veldrin.conf.5.gz \
    share/doc/veldrin/examples/veldrin.conf etc/veldrin/veldrin.conf; do
    [ -f "$prefix/$f" ] || fail "$f missing"
done
# The sample settings file is the administrator's once installed: installing
# again keeps an edited one.
echo '[Startup]' >>"$prefix/etc/veldrin/veldrin.conf"
edited=$(cat "$prefix/etc/veldrin/veldrin.conf")
"$cmake" --install "$build" --prefix "$prefix" >"$work/install2.log" || fail "second cmake --install"
[ "$(cat "$prefix/etc/veldrin/veldrin.conf")" = "$edited" ] || fail "a second install replaced the edited settings file"
cmp -s "$prefix/share/doc/veldrin/examples/veldrin.conf" "$(dirname "$0")/../../packaging/veldrin.conf" ||
    fail "the example settings file differs from the sample"
ls "$prefix/$libdir"/libpandrel.so.* "$prefix/$libdir"/libpandrel-engine.so.* "$prefix/$libdir"/libveldrin-x10.so.* \
    "$prefix/$libdir"/libveldrin-platform.so.* "$prefix/$libdir"/veldrin/libveldrin-platform-widgets.so.* >/dev/null ||
    fail "libraries missing"
# Debian's own files (copyright, changelog) are for the packages only.
[ ! -e "$prefix/share/doc/libpandrel1" ] || fail "a plain install carries the packages' doc files"

# The programs and the library resolve the project's libraries inside the
# prefix, through paths relative to themselves.
for f in bin/veldrin bin/veldrind bin/veldrin-cmd bin/pandrel-event-wait $libdir/libpandrel.so $libdir/libpandrel-engine.so; do
    deps=$(env -u LD_LIBRARY_PATH ldd "$prefix/$f")
    ! printf '%s\n' "$deps" | grep -q 'not found' || fail "$f: unresolved libraries: $deps"
    [ "$(lib_dir "$prefix/$f" libveldrin-platform.so)" = "$prefix/$libdir" ] ||
        fail "$f does not load libveldrin-platform from the prefix: $deps"
done
# The window's private library, in its own folder.
[ "$(lib_dir "$prefix/bin/veldrin" libveldrin-platform-widgets.so)" = "$prefix/$libdir/veldrin" ] ||
    fail "veldrin does not load its private library from $prefix/$libdir/veldrin"
status=0
env -u LD_LIBRARY_PATH "$prefix/bin/veldrin-cmd" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "installed veldrin-cmd without arguments: status $status, not 2 (usage)"

# Launcher and icon agree; the icon is 16x16; the manual carries the version.
desktop=$prefix/share/applications/veldrin.desktop
grep -qx 'Exec=veldrin' "$desktop" || fail "launcher does not start veldrin"
grep -qx 'Icon=veldrin' "$desktop" || fail "launcher icon is not veldrin"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$desktop"; fi
size=$(od -An -tu1 -j16 -N8 "$prefix/share/icons/hicolor/16x16/apps/veldrin.png" | tr -s ' ')
[ "$size" = " 0 0 0 16 0 0 0 16" ] || fail "PNG icon is not 16x16 ($size)"
grep -q 'viewBox="0 0 16 16"' "$prefix/share/icons/hicolor/scalable/apps/veldrin.svg" || fail "SVG icon"
if command -v xmllint >/dev/null; then xmllint --noout "$prefix/share/icons/hicolor/scalable/apps/veldrin.svg"; fi
man=$work/veldrin.1
gzip -dc "$prefix/share/man/man1/veldrin.1.gz" >"$man" || fail "veldrin.1.gz is not gzip"
[ "$(readlink "$prefix/share/man/man1/veldrind.1.gz")" = veldrin.1.gz ] || fail "veldrind.1.gz does not lead to veldrin.1.gz"
grep -q "\"Veldrin $version\"" "$man" || fail "manual page does not carry version $version"
! grep -q '@[A-Za-z_]*@' "$man" || fail "manual page has unreplaced @VARIABLES@"
if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
    [ -z "$warnings" ] || fail "groff: $warnings"
fi

# The system service: the unit starts the installed program without a
# window, as its own user, and passes systemd's own check where systemd is.
unit=$prefix/lib/systemd/system/veldrin.service
[ -f "$unit" ] || fail "lib/systemd/system/veldrin.service missing"
[ -f "$prefix/lib/sysusers.d/veldrin.conf" ] || fail "lib/sysusers.d/veldrin.conf missing"
grep -qx "ExecStart=$prefix/bin/veldrind --config /etc/veldrin/veldrin.conf --password-file /etc/veldrin/password" "$unit" ||
    fail "unit does not start $prefix/bin/veldrind: $(grep ExecStart "$unit")"
for line in User=veldrin SupplementaryGroups=dialout NoNewPrivileges=yes ProtectSystem=strict \
    ProtectHome=yes PrivateTmp=yes StateDirectory=veldrin RuntimeDirectory=veldrin \
    Type=notify WatchdogSec=30 Restart=on-failure CapabilityBoundingSet= DevicePolicy=closed \
    "DeviceAllow=char-ttyS rw" "DeviceAllow=char-ttyUSB rw" "DeviceAllow=char-ttyACM rw"; do
    grep -qx "$line" "$unit" || fail "unit lacks $line"
done
# The polkit rule for "COFF" is an example, every line of it a comment.
rules=$prefix/share/doc/veldrin/examples/50-veldrin-shutdown.rules
[ -f "$rules" ] || fail "share/doc/veldrin/examples/50-veldrin-shutdown.rules missing"
! grep -qv '^//' "$rules" || fail "the polkit rule is not commented out: $(grep -v '^//' "$rules")"
grep -q 'org.freedesktop.login1.power-off' "$rules" || fail "the polkit rule names no power-off"
# The example schedule runs nothing until its owner removes a "#".
schedule=$prefix/share/doc/veldrin/examples/schedule
[ -f "$schedule" ] || fail "share/doc/veldrin/examples/schedule missing"
! grep -qv '^#' "$schedule" || fail "the example schedule is not commented out: $(grep -v '^#' "$schedule")"
if command -v systemd-analyze >/dev/null; then
    # --man=no: the manual page is installed, but not where man looks.
    verify=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
    # The sandbox: an exposure of 2.0 or below ("OK").
    systemd-analyze security --offline=true --threshold=20 "$unit" >"$work/security" 2>&1 ||
        fail "systemd-analyze security: $(tail -1 "$work/security")"
else
    echo "SKIP: systemd-analyze not found (Debian package systemd): unit not verified"
fi

# A program of someone else's, built against the installed package only.
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(pandrel 1 REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE pandrel::pandrel)
CMAKE
cat >"$work/consumer/main.cpp" <<'CPP'
#include <controlcm.h>

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    controlcm control;
    control.setComport(3);
    std::printf("comport %d, event %s\n", control.comport(), qPrintable(control.EventName()));
    return control.comport() == 3 ? 0 : 1;
}
CPP
"$cmake" -S "$work/consumer" -B "$work/consumer/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$cxxflags" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    >"$work/consumer.log" 2>&1 || fail "configuring the consumer (see $work/consumer.log)"
grep -q "^pandrel_DIR:PATH=$prefix/$libdir/cmake/pandrel\$" "$work/consumer/build/CMakeCache.txt" ||
    fail "the consumer did not find the installed package"
"$cmake" --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 || fail "building the consumer (see $work/consumer.log)"
out=$(env -u LD_LIBRARY_PATH "$work/consumer/build/consumer") || fail "consumer failed: $out"
[ "$out" = "comport 3, event lossmer_pandrel_event" ] || fail "consumer printed: $out"
[ "$(lib_dir "$work/consumer/build/consumer" libpandrel.so)" = "$prefix/$libdir" ] ||
    fail "consumer does not load the installed libpandrel"

# A program without a window, built against the engine alone: it runs under
# a core application and loads neither Qt Widgets nor Qt Gui.
mkdir -p "$work/daemon"
cat >"$work/daemon/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(daemon LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(pandrel 1 REQUIRED)
add_executable(daemon main.cpp)
target_link_libraries(daemon PRIVATE pandrel::engine)
CMAKE
cat >"$work/daemon/main.cpp" <<'CPP'
#include <engine.h>
#include <x10.h>

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    pandrel::Engine engine;
    engine.setComport(4);
    // Before Init nothing is sent: ExecWait returns 0.
    const int r = engine.ExecWait(QStringLiteral("A"), QStringLiteral("1"), veldrin::x10::On);
    std::printf("comport %d, %s, %d\n", engine.comport(),
                qPrintable(veldrin::x10::functionName(veldrin::x10::On)), r);
    return engine.comport() == 4 ? 0 : 1;
}
CPP
"$cmake" -S "$work/daemon" -B "$work/daemon/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$cxxflags" -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    >"$work/daemon.log" 2>&1 || fail "configuring the engine consumer (see $work/daemon.log)"
"$cmake" --build "$work/daemon/build" >>"$work/daemon.log" 2>&1 || fail "building the engine consumer (see $work/daemon.log)"
out=$(env -u LD_LIBRARY_PATH -u QT_QPA_PLATFORM "$work/daemon/build/daemon") || fail "engine consumer failed: $out"
[ "$out" = "comport 4, ON, 0" ] || fail "engine consumer printed: $out"
deps=$(env -u LD_LIBRARY_PATH ldd "$work/daemon/build/daemon")
! printf '%s\n' "$deps" | grep -qE 'libQt6(Widgets|Gui)|libpandrel\.so' ||
    fail "the engine consumer loads a widget library: $deps"
[ "$(lib_dir "$work/daemon/build/daemon" libpandrel-engine.so)" = "$prefix/$libdir" ] ||
    fail "engine consumer does not load the installed libpandrel-engine"
echo "installed and used from $prefix"
