#!/usr/bin/env bash
# Builds the Debian package pravune-loader_<version>_amd64.deb (Release, installing under /usr)
# and prints its path. Usage: scripts/package.sh [BUILD_DIR]   (default build-package/)
# A BUILD_DIR that is configured already keeps its options (CI passes its Release build).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
dir=${1:-build-package}
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPRAVUNE_TESTS=OFF \
        -DPRAVUNE_BENCH=OFF
fi
cmake --build "$dir"
rm -f "$dir"/pravune-loader_*.deb
(cd "$dir" && cpack -G DEB > cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
ls "$dir"/pravune-loader_*.deb
