#!/usr/bin/env bash
# Installs what is missing, builds into build/, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${OPERATOR_PACKAGES[@]}"

cmake -S . -B build -G Ninja -DPRAVUNE_WERROR=ON
cmake --build build
ctest --test-dir build --output-on-failure "$@"
