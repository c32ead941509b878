#!/usr/bin/env bash
# Checks a built package without installing it: unpacks it into a scratch root, looks for what
# it must hold, validates its desktop entry and metainfo, and runs the package's checks
# (test_package) from inside that root, against the unpacked program.
#   tests/package/check_package.sh PACKAGE.deb TEST_PACKAGE_PROGRAM
set -euo pipefail
deb=$(realpath "$1")
checks=$(realpath "$2")
root=$(mktemp -d /tmp/vorlinex-package-XXXXXX)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

for f in usr/bin/vorlinex usr/share/applications/vorlinex.desktop usr/share/man/man1/vorlinex.1.gz \
         usr/share/doc/vorlinex/{Vorlinex.html,devices-window.png,timeline-window.png,timeline-frames.png,copyright} \
         usr/share/metainfo/org.vorlinex.Vorlinex.metainfo.xml; do
    [ -s "$root/$f" ] || fail "the package has no $f"
done
[ -x "$root/usr/bin/vorlinex" ] || fail "usr/bin/vorlinex is not executable"
for size in 16 22 24 32 48 64 128 256; do
    file -b "$root/usr/share/icons/hicolor/${size}x${size}/apps/vorlinex.png" 2>&1 |
        grep -q "PNG image data, $size x $size," || fail "the package has no ${size}x${size} PNG icon"
done
# The manual page must format without a warning from groff.
if ! out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$root/usr/share/man/man1/vorlinex.1.gz" 2>&1 >/dev/null) ||
   [ -n "$out" ]; then
    fail "the manual page does not format cleanly: $out"
fi

desktop-file-validate "$root/usr/share/applications/vorlinex.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.vorlinex.Vorlinex.metainfo.xml" || fail "metainfo"

# The checks run from the unpacked usr/bin, so the program's folder is the package's.
cp "$checks" "$root/usr/bin/test_package"
VORLINEX_PACKAGE_ROOT=$root QT_QPA_PLATFORM=offscreen "$root/usr/bin/test_package" || fail "test_package"

[ "$failed" -eq 0 ] && echo "package checks passed: $(basename "$deb")"
exit "$failed"
