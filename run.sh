#!/usr/bin/env bash
# Installs what is missing, builds, and starts the loader on the desktop's display. Its settings,
# serial counter and records are kept in var/ (ignored by git), outside build/, so that a clean
# rebuild never resets the serial counter.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -G Ninja
cmake --build build --target pravune-loader

# An earlier ./run.sh kept them beside build/app/pravune-loader: they move to var/ once, while
# no loader from there runs, under the lock every loader takes for that config.ini.
mkdir -p var
if [ ! -e var/config.ini ] && [ -f build/app/config.ini ]; then
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2> /dev/null)" = "$PWD/build/app/pravune-loader" ]; then
            echo "A loader from build/app/ is running: close it, then start ./run.sh again."
            exit 1
        fi
    done
    flock -w 10 build/app/config.ini.lock sh -c '
        for name in config.ini records.sqlite records.sqlite-wal records.sqlite-shm records.journal; do
            [ ! -e "build/app/$name" ] || mv -n "build/app/$name" "var/$name"
        done'
    echo "The settings and records of build/app/ are now kept in var/."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: start ./run.sh from a desktop session (or try it under xvfb-run -a)."
    echo "The loader is built: build/app/pravune-loader --config var/config.ini"
    exit 1
fi
exec build/app/pravune-loader --config "$PWD/var/config.ini"
