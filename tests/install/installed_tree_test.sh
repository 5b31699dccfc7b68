#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The program as a distribution installs it: `cmake --install` into a temporary root holds the program,
# its desktop entry, icons, metainfo and man page, and they pass Debian's validators; the installed
# program answers --help and --version without a display; and the .deb that CPack makes depends on the
# libraries the program links and passes lintian without errors.
#
#   installed_tree_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/chimely-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

root=$work/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"; fail "cmake --install"; exit 1
fi

app=com.vantorell.Chimely
expected=(
    usr/bin/chimely
    usr/share/applications/$app.desktop
    usr/share/metainfo/$app.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/chimely.svg
    usr/share/man/man1/chimely.1.gz
    usr/share/doc/chimely/copyright
)
for size in 16 22 24 32 48 64 128 256; do expected+=(usr/share/icons/hicolor/${size}x${size}/apps/chimely.png); done
for file in "${expected[@]}"; do
    [ -s "$root/$file" ] || fail "not installed: /$file"
done
[ $failures -eq 0 ] && pass "${#expected[@]} files installed"

# Each PNG is drawn at its own size.
for size in 16 48 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/chimely.png
    file -b "$png" | grep -q "PNG image data, $size x $size" || fail "icon ${size}: $(file -b "$png")"
done

desktop=$root/usr/share/applications/$app.desktop
if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then pass "desktop-file-validate"; else
    fail "desktop-file-validate: $out"; fi
grep -q '^Exec=chimely --minimized$' "$desktop" || fail "the desktop entry has no minimised start"
grep -q '^Icon=chimely$' "$desktop" || fail "the desktop entry names another icon"

if out=$(appstreamcli validate --no-net --explain "$root/usr/share/metainfo/$app.metainfo.xml" 2>&1); then
    pass "appstreamcli validate"; else fail "appstreamcli validate: $out"; fi
grep -q "<launchable type=\"desktop-id\">$app.desktop</launchable>" "$root/usr/share/metainfo/$app.metainfo.xml" \
    || fail "the metainfo does not launch the installed desktop entry"

# The man page renders without warnings and documents the option and the settings file.
if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/man1/chimely.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page warnings: $warnings"
fi
page=$(zcat "$root/usr/share/man/man1/chimely.1.gz")
for word in '\-\-minimized' 'Vantorell/chimely.conf' 'SigninName'; do
    grep -qF -- "$word" <<<"$page" || fail "the man page does not mention $word"
done

# No display at all: --help and --version answer, an unknown option is refused.
program=$root/usr/bin/chimely
out=$(env -i PATH=/usr/bin:/bin "$program" --version 2>&1); rc=$?
[ $rc -eq 0 ] && [[ "$out" =~ ^chimely\ [0-9]+\.[0-9]+ ]] && pass "--version: $out" || fail "--version ($rc): $out"
out=$(env -i PATH=/usr/bin:/bin "$program" --help 2>&1); rc=$?
[ $rc -eq 0 ] && grep -q -- "--minimized" <<<"$out" && pass "--help" || fail "--help ($rc): $out"
out=$(env -i PATH=/usr/bin:/bin "$program" --no-such-option 2>&1 >/dev/null); rc=$?
[ $rc -ne 0 ] && grep -q "unknown option '--no-such-option'" <<<"$out" && pass "unknown option refused ($rc)" \
    || fail "unknown option ($rc): $out"

# The package.
if ! (cd "$work" && timeout 300 cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"; fail "cpack -G DEB"; echo "$failures failure(s)"; exit 1
fi
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { fail "cpack made no .deb"; exit 1; }
pass "cpack: $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsofia-sip-ua0 libqt6widgets6 libc6; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
# Only the build of sofia-sip the program's definitions in its place were checked against.
grep -q "libsofia-sip-ua0 (<< [^)]*dfsg-[0-9]*\.1~)" <<<"$depends" || fail "Depends claims later sofia-sip: $depends"
echo "Depends: $depends"
contents=$(dpkg-deb -c "$deb")
for file in "${expected[@]}"; do grep -q " \./$file\$" <<<"$contents" || fail "not in the .deb: /$file"; done

# lintian is slow; it gets a bound of its own. Errors fail the test, warnings are shown.
lintian_out=$(timeout 420 lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1); rc=$?
echo "$lintian_out" | sed 's/^/lintian: /'
if [ $rc -eq 124 ]; then fail "lintian did not finish within its bound"
elif [ $rc -ne 0 ]; then fail "lintian reported errors ($rc)"
else pass "lintian: no errors ($(grep -c '^W:' <<<"$lintian_out") warnings)"; fi

echo "$failures failure(s)"
[ $failures -eq 0 ]
