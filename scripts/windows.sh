#!/usr/bin/env bash
# Cross-builds the core, its tests and pravune-cli.exe for 64-bit Windows with MinGW-w64, then
# runs the tests and the command line under Wine.   Usage: scripts/windows.sh [build folder]
#
# Debian packages neither SQLite nor GoogleTest for MinGW: SQLite is built from an amalgamation
# made from Debian's own sqlite3 source package (the version Debian ships, with its patches,
# checked against the signed archive by apt), GoogleTest from Debian's googletest sources.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
build=${1:-build-win}
mkdir -p "$build"
build=$(realpath "$build")

# ---- SQLite's amalgamation, once per build folder
sqlite=$build/sqlite
if [ ! -s "$sqlite/sqlite3.c" ]; then
    echo "== SQLite amalgamation from Debian's sqlite3 source package"
    work=$build/sqlite-source
    rm -rf "$work" && mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    cat > "$work/src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    # A source list and index of its own: the machine's apt configuration stays as it was.
    apt=(apt-get -q -o Dir::Etc::SourceList="$work/src.sources" -o Dir::Etc::SourceParts=/nonexistent
         -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache"
         -o APT::Sandbox::User="$(id -un)")
    "${apt[@]}" update > "$work/update.log"
    (cd "$work" && "${apt[@]}" source sqlite3 > source.log 2>&1) || {
        cat "$work/source.log"
        exit 1
    }
    tree=$(find "$work" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)
    mkdir -p "$work/make"
    (cd "$work/make" && "$tree/configure" --disable-tcl > configure.log 2>&1 &&
        make sqlite3.c > make.log 2>&1) || {
        tail -n 30 "$work/make/"*.log
        exit 1
    }
    mkdir -p "$sqlite"
    cp "$work/make/sqlite3.c" "$work/make/sqlite3.h" "$sqlite/"
    echo "SQLite $(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$sqlite/sqlite3.h")" \
        "from $(basename "$tree")"
    rm -rf "$work"
fi

# ---- The cross-build
echo "== cross-build for Windows (MinGW-w64)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DPRAVUNE_WERROR=ON -DPRAVUNE_SQLITE_SOURCE="$sqlite" > /dev/null
cmake --build "$build"

# ---- Under Wine, in a Wine folder of its own
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=wine
"$wine" wineboot --init > /dev/null 2>&1 || true
echo "== core tests under Wine"
echo "Not in the Windows build (Linux only): the hidraw platform's tests (hidraw_platform_test),"
echo "the XDG rule of the settings' place (config_location_test; Windows' own place is tested by"
echo "win_config_location_test), the kernel test (uhid), the PostgreSQL tests (no MinGW libpq)"
echo "and the window's tests (no MinGW Qt)."
log=$build/core_tests.log
status=0
"$wine" "$build/tests/core_tests.exe" > "$log" 2>&1 || status=$?
# The closing summary (the PostgreSQL store's tests, skipped, counted only), then why tests
# were skipped.
sed -n '/^\[==========\] .* ran\./,$p' "$log" | grep -v -i 'postgres' || true
echo "Reasons for skipping, with the number of tests each:"
grep -B1 '^\[  SKIPPED \] .*(' "$log" | grep -v '^\[\|^--' | sort | uniq -c || true
if [ "$status" -ne 0 ]; then
    grep -B2 -A20 'Failure' "$log" | head -n 200
    echo "core tests under Wine failed ($status); the whole log: $log"
    exit 1
fi

echo "== pravune-cli.exe under Wine"
cli=$build/pravune-cli.exe
"$wine" "$cli" --version
# The shipped program takes no test switch: the simulated bus's variable changes nothing.
out=$(PRAVUNE_CLI_SIMULATE=MOD001 "$wine" "$cli" list 2>&1 | tr -d '\r')
echo "$out"
[ "$out" = "No module 2156:C001 is present." ] || {
    echo "pravune-cli.exe list said something else"
    exit 1
}
# One module programmed on the command line's simulated bus: the HEX file, the serial-number
# plan, config.ini's lock and atomic replace, and the SQLite record, all through Windows' calls.
# The bus is the tests' build of the same sources (pravune-cli-sim.exe); the shipped
# pravune-cli.exe has none.
station=$(mktemp -d)
trap 'rm -rf "$station"' EXIT
cp examples/pravune-sample.hex "$station/app.hex"
printf '[SETTING]\r\nAutoSN=1\r\nSN_StartAddr=3B00\r\nSN_Current=0100\r\nSN_Bytes=2\r\n' \
    > "$station/config.ini"
PRAVUNE_CLI_SIMULATE=MOD001 "$wine" "$build/pravune-cli-sim.exe" --config "Z:$station/config.ini" program \
    "Z:$station/app.hex" | tr -d '\r' | tail -n 3
csv=$("$wine" "$cli" --config "Z:$station/config.ini" records --csv | tr -d '\r')
grep -q ',"MOD001","usb-sim-0",0x3B00,2,0x100,written,"succeeded",' <<< "$csv" || {
    echo "no record of the programmed module: $csv"
    exit 1
}
grep -qx 'SN_Current=101' <(tr -d '\r' < "$station/config.ini") || {
    echo "config.ini does not offer the next number:"
    cat "$station/config.ini"
    exit 1
}
echo "a simulated module programmed with serial number 0x100, recorded; 0x101 comes next"
echo "Windows build passed"
