#!/usr/bin/env bash
# Installs what is missing, builds DJ-Mixora and starts it. The program keeps its settings,
# song table and playlists in its current directory: $MIXORA_HOME, by default ~/DJ-Mixora.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/tools/install-deps.sh"
cmake -S "$src" -B "$src/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build/release" -j "$(nproc)" --target dj-mixora
home=${MIXORA_HOME:-$HOME/DJ-Mixora}
mkdir -p "$home"
cd "$home"
exec "$src/build/release/bin/dj-mixora" "$@"
