#!/bin/sh
# Builds the Release tree and runs the stream benchmark against the emulator
# (a process of its own on LPT1) with the real helper, privately: first with
# the default packet sizes (and the summary against the goals), then with
# the largest the emulator accepts; last the helper's notification latency.
#
#   sh bench/run-stream-bench.sh [seconds per figure (2)] [idle seconds (20)]
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/rel}
SECS=${1:-2}
IDLE=${2:-20}
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$BUILD" -j2 --target krzmlc15_stream_bench krzemu krzhid15 KRZMLC15 \
  krzmlc15_helper_bench | grep -E "error|FAILED" || true
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
"$BIN/krzmlc15_stream_bench" $EMU "$SECS" "$IDLE" | tee "$WORK/default.out"
echo "== largest packets the emulator accepts (65535 bytes whole)"
printf '[KRZMLC15]\r\nTO_PERI_PACKET_SIZE=65529\r\nTO_HOST_PACKET_SIZE=65529\r\n' \
  >"$W32POSIX_ROOT/WINDOWS/KRZTBX15.INI"
"$BIN/krzmlc15_stream_bench" $EMU "$SECS" 0
kill -TERM $EMU
wait $EMU || true
echo "== emulator summary"
grep -i "violations" "$WORK/emulator.out" || true

# The helper's notification latency for a quiet client: the helper bench
# (its emulator in its own process, on a namespace of its own), 200 samples
# with the default helper, no idle period.
echo "== notification latency, write to MLC_READ_STREAM (helper bench, 200 samples)"
mkdir -p "$WORK/hroot/WINDOWS/SYSTEM32"
W32POSIX_NAMESPACE=streambench-$$-helper W32POSIX_ROOT=$WORK/hroot \
  "$BIN/krzmlc15_helper_bench" 0 200 0 >"$WORK/helper.out" 2>&1 || cat "$WORK/helper.out" >&2
LAT=$(grep "timer + wake on input |" "$WORK/helper.out" | head -1 | awk -F'|' '{print $4, $6}')
echo "median / p99: $(echo "$LAT" | awk '{printf "%s / %s ms", $1, $2}') (goal: <= 0.5 / <= 2 ms)"
echo "== summary, default packet sizes"
sed -n '/^| Figure/,$p' "$WORK/default.out"
echo "$LAT" | awk '{printf "| notification latency median / p99 | %s / %s ms | <= 0.5 / <= 2 ms | %s |\n", $1, $2, ($1 <= 0.5 && $2 <= 2) ? "met" : "missed"}'
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$WORK"
