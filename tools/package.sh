#!/usr/bin/env bash
# Builds the Debian package build/package/dj-mixora_VERSION-1_ARCH.deb with CPack: a release
# build with Debian's hardening flags and without tests, its dependencies found by
# dpkg-shlibdeps. Install it with: apt install ./build/package/dj-mixora_*.deb
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/tools/install-deps.sh"
out="$src/build/package"
# Every hardening feature, bind-now included; run from the source tree so that debug paths
# are mapped relative to it.
cd "$src"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIXORA_TESTS=OFF -DMIXORA_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "${launcher[@]}" >/dev/null
cmake --build "$out" -j "${MIXORA_JOBS:-$(nproc)}"
rm -f "$out"/dj-mixora_*.deb
(cd "$out" && cpack -G DEB >/dev/null)
deb=$(ls "$out"/dj-mixora_*.deb)
echo "$deb"
if command -v lintian >/dev/null; then
    lintian --info "$deb" || true
fi
