#!/bin/bash
# The guest's half of the Windows HID test (tests/kernel/wine_run.sh): runs in the QEMU guest,
# chrooted into the host's file system, as root. Starts uhid modules with pravune-vmodule and
# drives them with the Windows pravune-cli.exe under Wine, one case at a time, printing a line
# per check ("WINE-CHECK ok: ..." or "WINE-CHECK FAILED: ...") and a closing count.
#   wine_guest.sh CLI_EXE VMODULE LINUX_CLI HEX
set -u
exe=$1 vmodule=$2 linux_cli=$3 hex=$4
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/root
passed=0 failed=0
w=/tmp/w l=/tmp/l  # the Windows station's folder, and the Linux build's
mkdir -p "$w" "$l"
cp "$hex" "$w/fw.hex"
head -c 16384 /dev/zero | tr '\0' '\377' > "$w/erased.bin"

now() { cut -d' ' -f1 /proc/uptime; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
check() {  # check WHAT COMMAND...: one line for the check, judged by the command's status
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "WINE-CHECK ok: $what"
    else
        failed=$((failed + 1))
        echo "WINE-CHECK FAILED: $what"
    fi
}
# The hidraw nodes in /dev as udev would make them: the guest has no udevd, and Wine watches /dev.
# A name the kernel gives again to another device (its HID device's own name differs) goes and
# comes back, so that Wine sees the old device leave and the new one arrive.
mirror() {
    declare -A seen
    while :; do
        for d in /dev/hidraw*; do
            [ -e "$d" ] || continue
            n=${d##*/}
            now=$(readlink "/sys/class/hidraw/$n/device" 2> /dev/null)
            [ "$now" = "${seen[$n]}" ] && continue
            rm -f "$d"
            unset "seen[$n]"
            sleep 0.1
        done
        for s in /sys/class/hidraw/hidraw*; do
            [ -e "$s" ] || continue
            n=${s##*/}
            [ -e "/dev/$n" ] && continue
            seen[$n]=$(readlink "$s/device")
            IFS=: read -r major minor < "$s/dev" && mknod "/dev/$n" c "$major" "$minor"
        done
        sleep 0.02
    done
}
nodes() { find /dev -maxdepth 1 -name 'hidraw*' | wc -l; }
await_nodes() {  # until there are $1 modules' nodes (at most 10 s)
    for _ in $(seq 500); do
        [ "$(nodes)" -eq "$1" ] && return 0
        sleep 0.02
    done
    return 1
}
module() {  # a module in the background; its process id in $module_pid
    "$vmodule" "$@" > /dev/null 2>&1 &
    module_pid=$!
}
unplug() { kill "$@" 2> /dev/null; wait "$@" 2> /dev/null; }
write_config() {
    printf '[SETTING]\r\nm_strPath_flash=%s\r\nAutoSN=1\r\nSN_StartAddr=3B00\r\nSN_Current=00000010\r\nSN_Bytes=4\r\nSN_Step=1\r\n' \
        "$2" > "$1"
}
write_config "$w/win.ini" 'Z:\tmp\w\fw.hex'
write_config "$l/config.ini" "$w/fw.hex"
cli() {  # cli OUT ARGS...: pravune-cli.exe on the station's config.ini; its exit status (124: hung)
    local out=$1
    shift
    timeout 90 wine "$exe" --config 'Z:\tmp\w\win.ini' "$@" > "$out" 2>&1
}
# Whether two flash images differ only in the serial number's four bytes at 0x3B00.
same_but_serial() {
    cmp -l "$1" "$2" | awk '$1 < 15105 || $1 > 15108 { bad = 1 } END { exit bad }'
}
byte_at() { od -An -tx1 -j "$2" -N1 "$1" | tr -d ' '; }

mirror &
mirror_pid=$!
# Wine kept warm: its server and services start once, not per case.
sleep 100000 | wine cmd /c pause > /dev/null 2>&1 &
started=$(now)

echo "-- list and program (Wine's start included)"
module --serial WIN001 --dump "$w/win1.bin"
m=$module_pid
await_nodes 1
cli "$w/list.txt" list
rc=$?
cat "$w/list.txt"
check "list finds the module with its identifiers and UID (exit $rc, $(now) s after boot)" \
    grep -q '2156:C001  UID WIN001' "$w/list.txt"
t=$(now)
cli "$w/program.txt" program
rc=$?
echo "program: exit $rc in $(since "$t") s"
check "program exits 0" test "$rc" -eq 0
unplug "$m"
module --serial WIN001 --dump "$w/linux1.bin"
m=$module_pid
await_nodes 1
"$linux_cli" --config "$l/config.ini" program > "$l/program.txt" 2>&1
rc=$?
unplug "$m"
[ "$rc" -eq 0 ] || tail -n 5 "$l/program.txt"
check "the flash equals the Linux build's for the same file and number" cmp "$w/win1.bin" "$w/linux1.bin"
check "its serial number is 0x10" test "$(byte_at "$w/win1.bin" 15107)" = 10
cli "$w/records.txt" records --csv
check "the record says number 0x10 written for WIN001" grep -q '"WIN001",.*,0x10,written,' "$w/records.txt"

echo "-- pulled out mid-write, back a second later; another module plugged in at once"
module --serial WIN002 --vanish-after 8 --absent-ms 1000 --dump "$w/pulled.bin"
m=$module_pid
await_nodes 1
(
    while compgen -G '/sys/class/hidraw/hidraw*' > /dev/null; do sleep 0.01; done
    sleep 0.3
    exec "$vmodule" --serial WIN003 --dump "$w/other.bin" > /dev/null 2>&1
) &
r=$!
cli "$w/pulled.txt" program
rc=$?
tail -n 4 "$w/pulled.txt"
check "both modules are on the bus in the end" await_nodes 2
unplug "$m" "$r"
check "the download fails (exit $rc)" test "$rc" -ne 0 -a "$rc" -ne 124
check "nothing more is written to the module that left (no serial number, the image unfinished)" \
    test "$(byte_at "$w/pulled.bin" 15104)" = ff -a "$(byte_at "$w/pulled.bin" 4377)" = ff
check "the module plugged in its place is not written to" cmp "$w/other.bin" "$w/erased.bin"

echo "-- program --wait: the module is plugged in after the command started"
cli "$w/wait.txt" program --wait 60 &
c=$!
sleep 3
module --serial WIN004 --dump "$w/wait.bin"
m=$module_pid
wait "$c"
rc=$?
unplug "$m"
check "program --wait programs the module plugged in later (exit $rc)" test "$rc" -eq 0
check "its flash holds the image" same_but_serial "$w/win1.bin" "$w/wait.bin"

echo "-- watch --count 2: two modules"
cli "$w/watch.txt" watch --count 2 &
c=$!
sleep 3
module --serial WIN005 --dump "$w/watch5.bin"
m5=$module_pid
module --serial WIN006 --dump "$w/watch6.bin"
m6=$module_pid
wait "$c"
rc=$?
unplug "$m5" "$m6"
check "watch --count 2 programs both (exit $rc)" test "$rc" -eq 0
check "both flashes hold the image" same_but_serial "$w/win1.bin" "$w/watch5.bin"
check "... the second too" same_but_serial "$w/win1.bin" "$w/watch6.bin"
check "with distinct serial numbers" \
    test "$(byte_at "$w/watch5.bin" 15107)" != "$(byte_at "$w/watch6.bin" 15107)"

for fault in short-answer-after garbage-after; do
    echo "-- a module whose answers go wrong: --$fault 3"
    module --serial WIN007 "--$fault" 3
    m=$module_pid
    await_nodes 1
    t=$(now)
    cli "$w/$fault.txt" program
    rc=$?
    tail -n 3 "$w/$fault.txt"
    unplug "$m"
    check "--$fault: a clear failure, no hang (exit $rc, $(since "$t") s)" \
        test "$rc" -ne 0 -a "$rc" -ne 124
done

kill "$mirror_pid" 2> /dev/null
wineserver -k 2> /dev/null
echo "Wine stage: $(since "$started") s of cases"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
