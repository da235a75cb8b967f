#!/usr/bin/env bash
# Renders the PNG sizes of the hicolor theme from brolix.svg (run after changing it).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" brolix.svg -o "brolix-$size.png"
done
