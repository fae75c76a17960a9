#!/bin/sh
# The demo started beside a config.ini (CTest's demo_* tests, tests/CMakeLists.txt).
#   scripts/demo-check.sh DEMO SAMPLE_HEX NAMED
# NAMED "none": a config.ini that names no HEX file, which must come to name the sample copied
# beside the demo; otherwise a config.ini naming the file NAMED, which it must keep. Passes when
# the demo has stored that before its window opens.
dir=$(mktemp -d) && dir=$(realpath "$dir") || exit 1
cp "$1" "$2" "$dir"/
want=$dir/pravune-sample.hex
[ "$3" = none ] || { want=$3; printf '[SETTING]\nm_strPath_flash=%s\n' "$3" > "$dir/config.ini"; }
QT_QPA_PLATFORM=offscreen "$dir/pravune-loader-demo" > /dev/null 2>&1 &
i=0
while [ $i -lt 100 ] && ! grep -q '^m_strPID_bt=' "$dir/config.ini" 2> /dev/null; do
    sleep 0.1
    i=$((i + 1))
done
kill $!
cat "$dir/config.ini"
grep -qx "m_strPath_flash=$want" "$dir/config.ini"
status=$?
rm -rf "$dir"
exit $status
