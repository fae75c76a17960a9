#!/usr/bin/env bash
# Installs what is missing, builds, and starts the loader on the desktop's display.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja
cmake --build build --target pravune-loader
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: start ./run.sh from a desktop session (or try it under xvfb-run -a)."
    echo "The loader is built: build/app/pravune-loader"
    exit 1
fi
exec build/app/pravune-loader
