#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a desktop and a package see there:
# every program in bin/, a menu entry and metainfo that validate, the icons in their sizes,
# and a program that answers --version and --help without a display.
# usage: check-installed-tree.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log"
    rm -f "$prefix.log"
    echo "FAIL: cmake --install"
    exit 1
fi
rm -f "$prefix.log"

# Every program the build made (tests aside) is installed.
for program in "$build"/bin/dj-mixora*; do
    name=$(basename "$program")
    [ -x "$prefix/bin/$name" ] || fail "bin/$name not installed"
done
[ -x "$prefix/bin/dj-mixora" ] || fail "bin/dj-mixora not installed"

desktop=$(ls "$prefix"/share/applications/*.desktop 2>/dev/null)
if [ "$(echo "$desktop" | wc -w)" -ne 1 ]; then
    fail "expected one menu entry, found: $desktop"
else
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate failed"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
    grep -qx 'Exec=dj-mixora %F' "$desktop" || fail "Exec does not start dj-mixora with files"
    for type in audio/mpeg audio/x-mpegurl; do
        grep -q "^MimeType=.*$type;" "$desktop" || fail "MimeType lacks $type"
    done
    grep -q '^Comment\[de\]=' "$desktop" || fail "no German comment"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no scalable icon $icon.svg"
    pngs=0
    for png in "$prefix"/share/icons/hicolor/*x*/apps/"$icon".png; do
        [ -f "$png" ] || continue
        size=$(basename "$(dirname "$(dirname "$png")")")
        file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "$png is not a $size PNG"
        pngs=$((pngs + 1))
    done
    [ "$pngs" -ge 4 ] || fail "only $pngs PNG icon sizes"
fi

metainfo=$(ls "$prefix"/share/metainfo/*.metainfo.xml 2>/dev/null)
if [ -z "$metainfo" ]; then
    fail "no AppStream metainfo"
else
    out=$(appstreamcli validate-tree --no-net "$prefix" 2>&1) || fail "appstreamcli validate-tree: $out"
    grep -q '<project_license>GPL-3.0-or-later</project_license>' "$metainfo" || fail "licence missing"
    id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")
    [ "$prefix/share/applications/$id.desktop" = "$desktop" ] || fail "metainfo id $id names no menu entry"
fi

version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/dj-mixora" --version 2>&1)
[[ "$version" =~ ^DJ-Mixora\ [0-9]+\.[0-9]+ ]] || fail "--version without a display said: $version"
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/dj-mixora" --help 2>&1)
[[ "$help" == *--dir* ]] || fail "--help without a display said: $help"

[ -f "$prefix/share/doc/dj-mixora/copyright" ] || fail "no copyright file"
zcat "$prefix/share/man/man1/dj-mixora.1.gz" 2>/dev/null | grep -q "^.SH FILES" || fail "no manual page"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "installed tree complete"
