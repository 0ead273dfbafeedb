#!/bin/sh
# Instruction counts of one stream figure: the emulator as a process of its
# own on LPT1 (as in run-stream-bench.sh), the bench client and the helper it
# starts under callgrind. Prints the figure's MB and, per process, the
# instructions counted and their count per MB; the profiles stay in OUT.
#
#   sh bench/profile-figure.sh BIN w512|w4k|read [seconds (1)] [OUT]
set -eu
BIN=$(cd "$1" && pwd)
FIGURE=$2
SECS=${3:-1}
OUT=${4:-$(mktemp -d "${TMPDIR:-/tmp}/profile.XXXXXX")}
mkdir -p "$OUT/root/WINDOWS/SYSTEM32"
# This valgrind does not know pidfd_open, which starting the helper needs.
cc -shared -fPIC -O2 -o "$OUT/pidfd_shim.so" "$(dirname "$0")/pidfd_shim.c" -ldl
W32POSIX_NAMESPACE=profile-$$
W32POSIX_ROOT=$OUT/root
PATH=$BIN:$PATH
export W32POSIX_NAMESPACE W32POSIX_ROOT PATH
"$BIN/krzemu" --port LPT1 --max-htop 65535 --max-ptoh 65535 --service 1:status \
  --service 2:sink:credit=32 --service 3:echo --service 4:source:bytes=1000000000000 --trace none \
  --ready-file "$OUT/ready" --seconds 0 >"$OUT/emulator.out" 2>&1 &
EMU=$!
n=0
while [ ! -e "$OUT/ready" ] && [ $n -lt 100 ]; do
  sleep 0.1
  n=$((n + 1))
done
STREAM_BENCH_ONLY=$FIGURE LD_PRELOAD=$OUT/pidfd_shim.so valgrind --tool=callgrind --trace-children=yes \
  --callgrind-out-file="$OUT/callgrind.%p" "$BIN/krzmlc15_stream_bench" $EMU "$SECS" 0 \
  >"$OUT/bench.out" 2>"$OUT/valgrind.out" || true
kill -TERM $EMU
wait $EMU || true
# The helper's profile is written when it has ended, shortly after the client.
n=0
while [ $n -lt 100 ] && ! grep -q "^summary" $(ls "$OUT"/callgrind.* | tail -1); do
  sleep 0.1
  n=$((n + 1))
done
MB=$(sed -n 's/.*, \([0-9.]*\) MB moved/\1/p' "$OUT/bench.out")
echo "$FIGURE: $MB MB; profiles in $OUT"
for f in "$OUT"/callgrind.*; do
  IR=$(sed -n 's/^summary: //p' "$f")
  CMD=$(sed -n 's/^cmd: //p' "$f" | cut -c1-60)
  echo "$CMD: $IR Ir, $(awk -v i="$IR" -v m="$MB" 'BEGIN {printf "%.0f", i / m}') Ir per MB"
done
