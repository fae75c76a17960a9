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
        make -j2 sqlite3.c > make.log 2>&1) || {
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
# The new Wine folder's first start runs on in the background: windows made meanwhile may fail.
wineserver -w
echo "== core tests under Wine"
echo "Not in the Windows build (Linux only): the hidraw platform's tests (hidraw_platform_test),"
echo "the XDG rule of the settings' place (config_location_test; Windows' own place is tested by"
echo "win_config_location_test), the kernel test (uhid), the PostgreSQL tests (no MinGW libpq)"
echo "and the Qt window's tests (no MinGW Qt; the Win32 window has its own, below)."
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

echo "== the Win32 window's tests under Wine (in process, on Xvfb)"
# Each window is an X window of its own here, at its Win32 screen position, as the pointer tests
# need (Wine's virtual desktop moves the pointer late); without a window manager Wine waits
# about 2 s for each top-level window it hides.
# Wine's fonts (Marlett draws the caption buttons).
cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2> /dev/null || true
wineserver -w
log=$build/win_ui_tests.log
status=0
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$build/tests/win_ui_tests.exe" > "$log" 2>&1 ||
    status=$?
sed -n '/^\[==========\] .* ran\./,$p' "$log"
if [ "$status" -ne 0 ]; then
    grep -B2 -A20 'Failure' "$log" | head -n 200
    echo "the window's tests under Wine failed ($status); the whole log: $log"
    exit 1
fi
echo "== the demo's window driven from outside (xdotool), screenshots in $build/operator"
bash tests/win/operator_run.sh "$build/pravune-loader-demo.exe" examples/pravune-sample.hex \
    "$build/operator"

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

# ---- The setup: built, installed and uninstalled silently under Wine, each step checked by
# what it left on the Wine folder's disk and in its registry, not by the exit status alone.
echo "== the Windows setup (NSIS) under Wine"
setup=$build/pravune-loader-setup.exe
packaging/windows/make-installer.sh "$build" "$setup" > "$build/installer.log" 2>&1 || {
    cat "$build/installer.log"
    echo "the setup could not be made"
    exit 1
}
echo "$(basename "$setup"): $(($(stat -c %s "$setup") / 1024)) KiB"
drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/PRAVUNE Loader"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/PRAVUNE Loader"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\PRAVUNE Loader'
installed=(pravune-loader.exe pravune-loader-demo.exe pravune-cli.exe pravune-sample.hex
           README.md docs/operator.md docs/scripting.md docs/administration.md docs/developer.md
           LICENSE.txt Uninstall.exe)
shortcuts=("PRAVUNE Loader.lnk" "PRAVUNE Loader Demo.lnk")
fail() {
    echo "setup: $*"
    exit 1
}
"$wine" "$setup" /S || fail "the silent install ended with status $?"
for file in "${installed[@]}"; do
    [ -s "$folder/$file" ] || fail "C:\\Program Files\\PRAVUNE Loader\\$file was not installed"
done
for link in "${shortcuts[@]}"; do
    [ -s "$menu/$link" ] || fail "no Start-menu entry $link"
done
uninstall=$("$wine" reg query "$key" /v UninstallString 2>/dev/null | tr -d '\r' |
            sed -n 's/.*REG_SZ *//p')
[ "$uninstall" = '"C:\Program Files\PRAVUNE Loader\Uninstall.exe"' ] ||
    fail "Add/Remove Programs has no uninstaller for it (UninstallString: '$uninstall')"
[ "$("$wine" "$folder/pravune-cli.exe" --version | tr -d '\r')" = "pravune-cli $(
    sed -n 's/^#define PRAVUNE_VERSION "\(.*\)"$/\1/p' "$build/generated/pravune_version.h")" ] ||
    fail "the installed pravune-cli.exe does not run"
echo "installed: ${#installed[@]} files in C:\Program Files\PRAVUNE Loader, ${#shortcuts[@]} Start-menu entries, the uninstall key"
# What the user's loader kept, which the uninstaller must leave.
appdata=$("$wine" winepath -u "$("$wine" cmd /c echo %APPDATA% | tr -d '\r')" 2>/dev/null)
[ -d "$appdata" ] || fail "no %APPDATA% folder in the Wine folder ($appdata)"
mkdir -p "$appdata/pravune-loader"
echo kept > "$appdata/pravune-loader/config.ini"
# _?= runs the uninstaller where it lies, and so to its end before wine returns (otherwise it
# copies itself to a temporary folder and goes on alone); it cannot remove itself then. NSIS
# reads _?= only unquoted, and wine quotes an argument with a space: cmd runs a batch file's
# line as it is written, and waits for it.
printf '@"C:\\Program Files\\PRAVUNE Loader\\Uninstall.exe" /S _?=C:\\Program Files\\PRAVUNE Loader\r\n@exit %%ERRORLEVEL%%\r\n' \
    > "$build/uninstall.bat"
"$wine" cmd /c "$("$wine" winepath -w "$build/uninstall.bat" | tr -d '\r')" ||
    fail "the silent uninstall ended with status $?"
for file in "${installed[@]}"; do
    [ "$file" = Uninstall.exe ] || [ ! -e "$folder/$file" ] || fail "$file is still installed"
done
for link in "${shortcuts[@]}"; do
    [ ! -e "$menu/$link" ] || fail "the Start-menu entry $link is still there"
done
[ ! -e "$menu" ] || fail "the Start-menu folder is still there"
! "$wine" reg query "$key" > /dev/null 2>&1 || fail "the uninstall key is still there"
[ "$(cat "$appdata/pravune-loader/config.ini")" = kept ] ||
    fail "the uninstaller removed %APPDATA%\\pravune-loader"
rm -f "$folder/Uninstall.exe"
rmdir "$folder"
rm -rf "$appdata/pravune-loader"
echo "uninstalled: the files, the Start-menu entries and the key are gone; %APPDATA%\pravune-loader stays"
echo "Windows build passed"
