#!/bin/sh
# The manual pages as built: each renders without a groff warning (and
# through man -l where man is installed), every page one of them refers to
# exists, and every key of the sample settings file is commented out and
# documented in veldrin.conf(5), and every key the program reads is in the
# sample.
# Usage: manpages_test.sh BUILT_PAGES_DIR SAMPLE_CONFIG SOURCE_DIR
set -u
dir=$1
sample=$2
src=$3
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
command -v groff >/dev/null || {
    echo "groff is not installed"
    exit 77
}
pages="veldrin.1 veldrind.1 veldrin-cmd.1 veldrin-sim.1 veldrin.conf.5"
for page in $pages; do
    # The daemon's page is a link to the program's among the compressed pages.
    [ ! -f "$dir/$page" ] && [ -L "$dir/man/$page.gz" ] && continue
    [ -f "$dir/$page" ] || fail "$page was not built"
    # A page that only sources another (veldrind.1) is rendered as that one.
    head -n 1 "$dir/$page" | grep -q '^\.so ' && continue
    ! grep -q '@[A-Za-z_]*@' "$dir/$page" || fail "$page has unreplaced @VARIABLES@"
    warnings=$(cd "$dir" && groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff $page: $warnings"
    if command -v man >/dev/null; then
        warnings=$(cd "$dir" && MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man -l $page: $warnings"
    fi
done
# References such as ".BR veldrin\-cmd (1)" name pages that exist.
refs=$(cat "$dir"/*.[15] | sed -n 's/^\.BR \(veldrin[a-z\\.-]*\) (\([15]\)).*/\1.\2/p' | sed 's/\\-/-/g' | sort -u)
for ref in $refs; do
    case " $pages " in *" $ref "*) ;; *) fail "a page refers to $ref, which is not built" ;; esac
done
# The sample settings file sets nothing: every setting is commented out.
set_lines=$(grep -v -e '^#' -e '^\[[A-Za-z]*\]$' -e '^$' "$sample")
[ -z "$set_lines" ] || fail "the sample settings file sets: $set_lines"
# Every setting of the sample file is documented.
for key in $(sed -n 's/^#\([A-Za-z0-9]*\)=.*/\1/p' "$sample" | sort -u); do
    case $key in COM[0-9]*) key=COM ;; [A-P][0-9]*) continue ;; esac
    grep -q "$key" "$dir/veldrin.conf.5" || fail "$key of the sample settings file is not in veldrin.conf(5)"
done
# Every key the program reads is in the sample: the keys of the settings-key
# table, and the names read through GetSetting and the readers of the
# settings file's sections (value, text, port, setting, readFlag, readTopic). The keys of [Ports] and
# [Modules] are names of ports and modules, shown by example.
table_keys=$(sed -n 's/^inline const QString k[A-Za-z]* = QStringLiteral("\([A-Z][A-Za-z0-9]*\)");.*/\1/p' \
    "$src/platform/settingskeys.h" | grep -v -x -e Veldrin -e Startup)
[ -n "$table_keys" ] || fail "no keys found in platform/settingskeys.h"
read_keys=$(grep -rhoE '(GetSetting\([^;"]*|[^A-Za-z_>](value|text|port|setting|readFlag|readTopic)\()QStringLiteral\("[A-Z][A-Za-z0-9]+"\)' \
    --include='*.cpp' --include='*.h' "$src/core" "$src/app" "$src/web" "$src/platform" |
    sed -E 's/.*QStringLiteral\("([A-Za-z0-9]+)"\)$/\1/')
[ -n "$read_keys" ] || fail "no settings reads found in the sources"
for key in $(printf '%s\n' $table_keys $read_keys | sort -u); do
    grep -q "^#$key=" "$sample" || fail "the program reads $key, which the sample settings file does not show"
done
echo "manual pages: $pages"
