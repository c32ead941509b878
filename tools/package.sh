#!/usr/bin/env bash
# Builds a Release tree in build-package/ and the Debian package
# build-package/vorlinex_<version>_<arch>.deb from it; then `apt install ./build-package/vorlinex_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --packaging

dir=build-package
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Debian's hardening: fortified libc calls, a read-only relocation table bound at start-up.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" \
    -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
# Only what the package holds: the program and its icons, manual page and changelog.
cmake --build "$dir" -j "$(nproc)" --target vorlinex vorlinex_package_data
rm -f "$dir"/vorlinex_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/vorlinex_*.deb
