#!/usr/bin/env bash
# The window's records as an operator keeps them, driven from outside like a person: the demo
# window on Xvfb, clicked at its controls' positions with xdotool. A download; Open, which shows
# the folder of config.ini, then Cancel; a second process lists the records; a second download;
# a second process programs on the same config.ini; the window closed. Then every download of
# both is in the record, each number once, and the window held no descriptor of the record
# while it waited. Screenshots in OUT.
#
#   operator_records.sh DEMO CLI_SIM SAMPLE_HEX OUT
set -euo pipefail
demo=$1 cli=$2 sample=$3 out=$4
for tool in xvfb-run xdotool import; do
    command -v "$tool" > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
if [ -z "${OPERATOR_INSIDE:-}" ]; then  # on a display of its own
    export OPERATOR_INSIDE=1
    exec xvfb-run -a -s "-screen 0 640x560x24" bash "$0" "$@"
fi

mkdir -p "$out"
dir=$(mktemp -d)
trap 'kill "${pid:-}" 2> /dev/null || true; rm -rf "$dir"' EXIT
cp "$sample" "$dir/app.hex"
printf '[SETTING]\nm_strPath_flash=%s\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0100\nSN_Bytes=2\nSN_Step=1\n' \
    "$dir/app.hex" > "$dir/config.ini"
records() { "$cli" --config "$dir/config.ini" --json records; }
# Waits until the record holds $1 downloads that succeeded.
wait_records() {
    for _ in $(seq 200); do
        [ "$(records | grep -c '"verdict":"succeeded"')" -ge "$1" ] && return 0
        sleep 0.1
    done
    echo "FAIL: the record never held $1 downloads that succeeded"; records; exit 1
}

"$demo" --config "$dir/config.ini" > "$out/window.log" 2>&1 &
pid=$!
win=
for _ in $(seq 100); do
    win=$(xdotool search --name '^PRAVUNE Loader' 2> /dev/null | head -n 1) && [ -n "$win" ] && break
    sleep 0.1
done
[ -n "$win" ] || { echo "FAIL: no window"; exit 1; }
sleep 1
eval "$(xdotool getwindowgeometry --shell "$win")"  # X, Y, WIDTH, HEIGHT
# A click at the middle of a control given in dialog units (the window is 242 x 250 of them),
# sent to the screen where the control is, as a mouse would.
click() {
    local x=$((X + ($1 * 2 + $3) * WIDTH / (2 * 242)))
    local y=$((Y + ($2 * 2 + $4) * HEIGHT / (2 * 250)))
    xdotool mousemove "$x" "$y"
    sleep 0.3
    xdotool click 1
}
no_record_file_open() {
    if ls -l "/proc/$pid/fd" 2> /dev/null | grep -q 'records\.sqlite'; then
        echo "FAIL: the idle window holds the record open ($1)"; ls -l "/proc/$pid/fd"; exit 1
    fi
}

click 148 83 86 49  # Download
wait_records 1
sleep 0.5
no_record_file_open "after a download"
import -window root "$out/1-downloaded.png"

click 188 57 21 18  # Open: the file dialog on the folder of config.ini
# Until the dialog is shown: another visible window of the program's.
for _ in $(seq 100); do
    xdotool search --onlyvisible --pid "$pid" 2> /dev/null | grep -qv "^$win$" && break
    sleep 0.1
done
sleep 1
import -window root "$out/2-open-dialog.png"
xdotool key Escape  # Cancel
sleep 1
no_record_file_open "after the file dialog"
records > "$out/records-meanwhile.json"  # a second process lists the records

click 148 83 86 49  # Download again
wait_records 2
sleep 0.5
PRAVUNE_CLI_SIMULATE=MOD777 "$cli" --config "$dir/config.ini" --json program > "$out/program.json" \
    || { echo "FAIL: the second process could not program"; cat "$out/program.json"; exit 1; }
import -window root "$out/3-after-both.png"

click 200 200 10 10  # the log, then Escape: the window ends (it is idle)
xdotool key Escape
for _ in $(seq 100); do
    kill -0 "$pid" 2> /dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2> /dev/null; then echo "FAIL: the window did not close"; exit 1; fi
pid=

records > "$out/records.json"
downloads=$(grep -c '"event":"record"' "$out/records.json")
succeeded=$(grep -c '"verdict":"succeeded"' "$out/records.json")
numbers=$(grep -o '"value":[0-9]*' "$out/records.json" | sort | uniq | wc -l)
window=$(grep -c '"uid":"DEMO01"' "$out/records.json")
echo "downloads $downloads, succeeded $succeeded, distinct numbers $numbers, by the window $window"
[ "$downloads" -eq 3 ] && [ "$succeeded" -eq 3 ] && [ "$numbers" -eq 3 ] && [ "$window" -eq 2 ] \
    || { echo "FAIL: the record lost or doubled a download"; cat "$out/records.json"; exit 1; }
echo "operator run passed"
