#!/bin/sh
# A command line answered before any window exists (CTest's cli_* tests, tests/CMakeLists.txt).
#   scripts/cli-check.sh STATUS STREAM PATTERN COMMAND [ARG...]
# Passes when COMMAND exits with STATUS and the stream STREAM (1 or 2) matches the extended
# regular expression PATTERN while the other stream stays empty. With SKIP_IF_EXISTS naming a
# path that exists, it skips (exit status 77).
[ -z "${SKIP_IF_EXISTS:-}" ] || [ ! -e "$SKIP_IF_EXISTS" ] || exit 77
want=$1 stream=$2 pattern=$3
shift 3
out=$(mktemp -d) || exit 1
"$@" > "$out/1" 2> "$out/2"
got=$? status=0
cat "$out/1" "$out/2"
[ "$got" = "$want" ] || { echo "exit status $got, not $want"; status=1; }
grep -Eq -e "$pattern" "$out/$stream" || { echo "nothing matches $pattern on $stream"; status=1; }
[ ! -s "$out/$((3 - stream))" ] || { echo "output on $((3 - stream)) too"; status=1; }
rm -rf "$out"
exit $status
