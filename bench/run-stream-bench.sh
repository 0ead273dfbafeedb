#!/bin/sh
# Builds the Release tree and runs the stream benchmark against the emulator
# (a process of its own on LPT1) with the real helper, privately: first with
# the default packet sizes, then with the largest the emulator accepts.
#
#   sh bench/run-stream-bench.sh [seconds per figure (2)]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/rel}
SECS=${1:-2}
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$BUILD" -j2 --target krzmlc15_stream_bench krzemu krzhid15 KRZMLC15 | grep -E "error|FAILED" || true
BIN=$BUILD/bin
WORK=$(mktemp -d "${TMPDIR:-/tmp}/streambench.XXXXXX")
W32POSIX_NAMESPACE=streambench-$$
W32POSIX_ROOT=$WORK/root
PATH=$BIN:$PATH
export W32POSIX_NAMESPACE W32POSIX_ROOT PATH
mkdir -p "$W32POSIX_ROOT/WINDOWS/SYSTEM32"

"$BIN/krzemu" --port LPT1 --max-htop 65535 --max-ptoh 65535 --service 1:status \
  --service 2:sink:credit=32 --service 3:echo --service 4:source:bytes=1000000000000 --trace none \
  --ready-file "$WORK/ready" --seconds 0 >"$WORK/emulator.out" 2>&1 &
EMU=$!
n=0
while [ ! -e "$WORK/ready" ]; do
  if ! kill -0 $EMU 2>/dev/null || [ $n -ge 100 ]; then
    echo "the emulator did not start:" >&2
    cat "$WORK/emulator.out" >&2
    exit 1
  fi
  sleep 0.1
  n=$((n + 1))
done

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== default packet sizes"
"$BIN/krzmlc15_stream_bench" $EMU "$SECS"
echo "== largest packets the emulator accepts (65535 bytes whole)"
printf '[KRZMLC15]\r\nTO_PERI_PACKET_SIZE=65529\r\nTO_HOST_PACKET_SIZE=65529\r\n' \
  >"$W32POSIX_ROOT/WINDOWS/KRZTBX15.INI"
"$BIN/krzmlc15_stream_bench" $EMU "$SECS"
kill -TERM $EMU
wait $EMU || true
echo "== emulator summary"
grep -i "violations" "$WORK/emulator.out" || true
rm -rf "$WORK"
