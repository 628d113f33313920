#!/usr/bin/env bash
# Installs every Debian package DJ-Mixora needs to build, run and test.
# Idempotent and quiet when everything is present.
set -euo pipefail

PACKAGES=(
    cmake g++ pkg-config ninja-build clang-format
    qt6-base-dev libgl-dev libxkbcommon-dev
    libmpg123-dev libebur128-dev
    portaudio19-dev libasound2-dev libjack-jackd2-dev jackd2
    librubberband-dev
    libsqlite3-dev
    libtag1-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    lame libmp3lame-dev
    xvfb xauth imagemagick fontconfig fonts-dejavu-core
    dpkg-dev file desktop-file-utils appstream
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks about real-time priority; answer once, non-interactively.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
