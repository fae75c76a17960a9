#!/usr/bin/env bash
# Rebuilds pravune-sample.hex from pravune-sample.c with SDCC (installed on demand). The loader's
# own build does not run this: the .hex is kept in the tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../scripts/deps.sh"
install_missing "${EXAMPLE_PACKAGES[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Code from 0x0E00, above the bootloader; the rest of the memory layout is SDCC's default.
sdcc -mmcs51 --code-loc 0x0E00 -o "$work/" "$here/pravune-sample.c"
packihx "$work/pravune-sample.ihx" > "$here/pravune-sample.hex" 2> /dev/null
echo "wrote $here/pravune-sample.hex with SDCC $(sdcc --version | grep -o '[0-9]*\.[0-9]*\.[0-9]*' | head -n 1)"
