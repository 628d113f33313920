#!/usr/bin/env bash
# Installs what is missing, builds DJ-Mixora and starts it with the given arguments. The
# program finds its folder itself ($MIXORA_HOME, else ~/.local/share/DJ-Mixora); a
# ~/DJ-Mixora that earlier versions of this script set up is still used when it exists.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/tools/install-deps.sh"
cmake -S "$src" -B "$src/build/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$src/build/release" -j "$(nproc)" --target dj-mixora
if [ -z "${MIXORA_HOME:-}" ] && [ -d "$HOME/DJ-Mixora" ]; then
    export MIXORA_HOME="$HOME/DJ-Mixora"
fi
exec "$src/build/release/bin/dj-mixora" "$@"
