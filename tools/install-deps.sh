#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when they are missing.
# With --packaging, also what building and checking the .deb needs (tools/package.sh: lintian,
# systemd-analyze for the service unit, logrotate for its rotation entry); with
# --bench, what the benchmarks run beside the program (an X server for the Xvfb figures).
set -euo pipefail

packages=(cmake ninja-build g++ ccache pkg-config libgtest-dev libgmock-dev libsystemd-dev
          qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev fonts-ipafont-gothic fonts-dejavu-core socat
          ser2net python3-pymodbus python3-serial python3-serial-asyncio
          clang libclang-rt-14-dev tshark)
if [ "${1:-}" = "--packaging" ]; then
    packages+=(dpkg-dev file lintian desktop-file-utils appstream systemd logrotate)
elif [ "${1:-}" = "--bench" ]; then
    packages+=(xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"
# tshark's package asks whether ordinary users may capture (a setuid dumpcap): they may not, and
# nobody is asked.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
