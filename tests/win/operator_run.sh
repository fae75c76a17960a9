#!/usr/bin/env bash
# The Windows window as an operator uses it: pravune-loader-demo.exe under Wine on a bare X
# server, driven from outside with xdotool (clicks at the controls' positions; move, pause, then
# click, as a hand does), with screenshots along the way.
#   Usage: tests/win/operator_run.sh DEMO.EXE SAMPLE.HEX SHOTS_FOLDER
# Wine's own settings come from the environment (WINEPREFIX); the prefix must not use a virtual
# desktop here: each window is then an X window at its Win32 screen position.
set -euo pipefail
demo=$1 sample=$2 shots=$3
mkdir -p "$shots"
work=$(mktemp -d)
display=:$((100 + RANDOM % 800))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > /dev/null 2>&1 &
xvfb=$!
cleanup() {
    kill "$xvfb" 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done

cp "$demo" "$work/pravune-loader-demo.exe"
cp "$sample" "$work/pravune-sample.hex"
printf '[SETTING]\r\nSN_StartAddr=3B00\r\nSN_Current=0100\r\nSN_Bytes=2\r\nSN_Step=1\r\n' \
    > "$work/config.ini"
(cd "$work" && wine "$work/pravune-loader-demo.exe" > "$work/out.log" 2>&1; echo $? > "$work/rc") &

window=$(xdotool search --sync --onlyvisible --name 'PRAVUNE Loader \(Build' | head -n 1)
sleep 2
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "window at $X,$Y, ${WIDTH}x$HEIGHT"
# Dialog units to pixels: Arial 9 pt's base units at 96 dpi are 7 x 14 (4 x 8 dialog units).
at() { echo $((X + ($1 * 7 + 2) / 4)) $((Y + ($2 * 14 + 4) / 8)); }
click() {
    # shellcheck disable=SC2046
    xdotool mousemove $(at "$1" "$2")
    sleep 0.4
    xdotool click 1
    sleep 0.6
}
fail() {
    echo "operator run: $*"
    cat "$work/config.ini"
    exit 1
}
# Waits up to TENTHS tenths of a second for config.ini's next number to be NUMBER (hex).
await_number() {
    for _ in $(seq "$2"); do
        grep -q "^SN_Current=$1" "$work/config.ini" && return 0
        sleep 0.1
    done
    fail "$3"
}
import -window root "$shots/1-started.png"

# The serial-number plan on: its check box, by a click on its caption.
click 40 95
grep -q '^AutoSN=1' "$work/config.ini" || fail "the plan switch did not save AutoSN=1"
# Hover over Download, then a click: a whole download of the sample on the virtual module.
# shellcheck disable=SC2046
xdotool mousemove $(at 191 107)
sleep 0.6
import -window root "$shots/2-hover-download.png"
xdotool click 1
await_number 101 100 "the download did not take number 0x100"
sleep 1.5
import -window root "$shots/3-downloaded.png"
# Production mode from the window's context menu (a right click on its background, then its
# item's letter): Yes to the release, the supervisor's passphrase twice, Yes again to the module
# that passed before; it is programmed without a click and the widened window shows the verdict.
# shellcheck disable=SC2046
xdotool mousemove $(at 3 140)
sleep 0.4
xdotool click 3
sleep 0.6
for key in p y; do
    xdotool key "$key"
    sleep 1
done
for _ in 1 2; do
    xdotool type --delay 50 s3cret
    xdotool key Return
    sleep 1
done
xdotool key y
await_number 102 100 "production mode did not program number 0x101"
sleep 0.5
import -window root "$shots/4-production.png"
# The demo's line: the module is pulled out after its verdict and new ones follow, each
# programmed with no click (one in seven fails on purpose, and its number is used up).
await_number 105 300 "the next modules were not programmed"
sleep 0.5
import -window root "$shots/5-next-modules.png"
# Escape ends the window once it is idle (between modules), and with it the process.
for _ in $(seq 40); do
    xdotool key Escape
    sleep 0.25
    [ -s "$work/rc" ] && break
done
[ -s "$work/rc" ] || fail "Escape did not end the window"
echo "operator run: the plan switched on, one module programmed with 0x100 by clicks, one with 0x101"
echo "in production mode from the context menu, three more as they came, closed by Escape"
