#!/bin/sh
# Draws the page's PNG icons from ../icon.svg with headless chromium.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here"/*.html "$here/../icon.svg" "$work/"
shot() {  # shot PAGE SIZE OUT
    chromium --headless=new --no-sandbox --disable-gpu --hide-scrollbars \
        --force-device-scale-factor=1 --default-background-color=00000000 \
        --window-size="$2,$2" --screenshot="$here/../$3" "file://$work/$1" 2>/dev/null
}
shot any.html 192 icon-192.png
shot any.html 512 icon-512.png
shot mask.html 512 icon-maskable-512.png
shot apple.html 180 apple-touch-icon.png
