#!/bin/sh
# no_widgets.sh LIBRARY...: fails when one of the libraries needs Qt Widgets
# or Qt Gui (a NEEDED entry of its dynamic section).
set -eu
status=0
for lib in "$@"; do
    needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    printf '%s: %s\n' "$lib" "$(echo $needed)"
    echo "$needed" | grep -q '^libQt6Core' || { echo "FAIL: $lib: no Qt6Core among its NEEDED entries" >&2; status=1; }
    if echo "$needed" | grep -E '^libQt6(Widgets|Gui)|^libpandrel\.|veldrin-platform-widgets'; then
        echo "FAIL: $lib needs a widget library" >&2
        status=1
    fi
done
exit $status
