#!/usr/bin/env bash
# Builds a Release tree in build-package/ and the Debian package
# build-package/vorlinex_<version>_<arch>.deb from it; then `apt install ./build-package/vorlinex_*.deb`.
# Then checks what the package adds for the service, unpacked into a scratch root: the files
# under /etc are conffiles, the unit passes `systemd-analyze verify`, the logrotate entry reads
# without an error and rotates; and lintian finds no error in the package.
# VORLINEX_JOBS=N builds with N jobs (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --packaging

dir=build-package
jobs=${VORLINEX_JOBS:-$(nproc)}
launcher=()
if command -v ccache >/dev/null; then  # the cache tools/build.sh uses
    export CCACHE_DIR=${CCACHE_DIR:-/var/cache/ccache-vorlinex}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")} CCACHE_NOHASHDIR=1
    mkdir -p "$CCACHE_DIR" 2>/dev/null && [ -w "$CCACHE_DIR" ] && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Debian's hardening: fortified libc calls, a read-only relocation table bound at start-up.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
# Only what the package holds: the program and its icons, manual page and changelog.
cmake --build "$dir" -j "$jobs" --target vorlinex vorlinex_package_data
rm -f "$dir"/vorlinex_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/vorlinex_*.deb)
echo "$deb"

scratch=$(mktemp -d /tmp/vorlinex-package-checks-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Every file under /etc is a conffile, and every conffile is in the package: an upgrade must
# never overwrite an administrator's settings or rotation without asking.
mkdir "$scratch/control"
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$scratch/control"
conffiles=$(sort "$scratch/control/conffiles" 2>/dev/null || true)
in_etc=$(cd "$root" && find etc -type f 2>/dev/null | sed 's|^|/|' | sort || true)
[ -n "$in_etc" ] || fail "the package has nothing under /etc"
[ "$conffiles" = "$in_etc" ] || fail "the conffiles are not the files under /etc: conffiles
$conffiles
under /etc
$in_etc"

# The unit as an instance, started from the unpacked program: the one word that names the
# installed program is pointed at the unpacked one, and its manual page is looked for in the
# unpacked package. verify returns 0 on a misspelt key too, so anything it says is a failure.
unit=$root/lib/systemd/system/vorlinex@.service
if [ ! -s "$unit" ]; then
    fail "the package has no lib/systemd/system/vorlinex@.service"
else
    mkdir "$scratch/units"
    sed "s|^ExecStart=/usr/bin/vorlinex |ExecStart=$root/usr/bin/vorlinex |" "$unit" >"$scratch/units/vorlinex@test.service"
    grep -q "^ExecStart=$root/usr/bin/vorlinex " "$scratch/units/vorlinex@test.service" ||
        fail "the unit does not start /usr/bin/vorlinex"
    if ! out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$scratch/units/vorlinex@test.service" 2>&1) ||
       [ -n "$out" ]; then
        fail "systemd-analyze verify: $out"
    fi
fi

# The rotation entry reads without an error, and it rotates a capture where the service keeps
# them (a folder of the service's own user, behind the /var/log/vorlinex link) without making a
# new file (the service does that when it reopens), then sends HUP to the running instance.
# Its systemd is a stand-in here, so that no service of this machine is signalled.
# logrotate says "error:" but still exits 0.
rotation=$root/etc/logrotate.d/vorlinex
if [ ! -s "$rotation" ]; then
    fail "the package has no etc/logrotate.d/vorlinex"
else
    if ! out=$(logrotate -d -s "$scratch/logrotate.state" "$rotation" 2>&1) || grep -qi "error:" <<<"$out"; then
        fail "logrotate -d: $out"
    fi
    logs=$scratch/log
    mkdir -p "$logs/private/vorlinex"
    ln -s private/vorlinex "$logs/vorlinex"
    printf 'captured\n' >"$logs/vorlinex/lab1.log"
    [ "$(id -u)" -ne 0 ] || chown -R 61234:61234 "$logs/private/vorlinex"
    mkdir -p "$scratch/bin" "$scratch/run/systemd/system"
    cat >"$scratch/bin/systemctl" <<STANDIN
#!/bin/sh
echo "\$*" >>"$scratch/systemctl.calls"
[ "\$1" != list-units ] || echo "vorlinex@lab1.service loaded active running Vorlinex serial-line relay lab1"
STANDIN
    chmod +x "$scratch/bin/systemctl"
    sed -e "s|/var/log/vorlinex/|$logs/vorlinex/|" -e "s|/run/systemd/system|$scratch/run/systemd/system|" \
        "$rotation" >"$scratch/rotation.conf"
    if ! out=$(PATH=$scratch/bin:$PATH logrotate -f -s "$scratch/rotation.state" "$scratch/rotation.conf" 2>&1) ||
       [ -n "$out" ]; then
        fail "logrotate: $out"
    fi
    [ "$(cat "$logs/vorlinex/lab1.log.1" 2>/dev/null)" = captured ] || fail "logrotate did not rotate lab1.log"
    [ ! -e "$logs/vorlinex/lab1.log" ] || fail "logrotate made a new lab1.log itself"
    grep -qx "kill --kill-whom=main --signal=HUP vorlinex@lab1.service" "$scratch/systemctl.calls" 2>/dev/null ||
        fail "logrotate did not send HUP to vorlinex@lab1.service: $(cat "$scratch/systemctl.calls" 2>/dev/null)"
fi

# Errors fail; warnings are shown.
lintian --fail-on error "$deb" || fail "lintian found errors"

[ "$failed" -eq 0 ] && echo "service files, conffiles and lintian checks passed: $(basename "$deb")"
exit "$failed"
