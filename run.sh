#!/usr/bin/env bash
# Installs what is missing, builds, and starts the loader.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja
cmake --build build
if [ ! -x build/app/pravune-loader ]; then
    echo "The loader's window is not built yet: only the core and its tests exist so far."
    exit 1
fi
exec build/app/pravune-loader
