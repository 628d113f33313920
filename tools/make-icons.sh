#!/usr/bin/env bash
# Renders the program icon's PNG sizes from packaging/icons/dj-mixora.svg. Run after editing
# the SVG and commit the PNGs with it, so a build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
command -v rsvg-convert >/dev/null || { echo "needs rsvg-convert: apt-get install librsvg2-bin" >&2; exit 1; }
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" dj-mixora.svg -o "dj-mixora-$size.png"
done
