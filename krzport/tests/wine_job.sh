#!/bin/sh
# The main job through krzport on the Windows programs under Wine: the test
# flavour of krzport (a driver of its own behind the parallel-port backend,
# the emulator's core as the printer) serves LPT1, krzprint.exe prints a
# job to it and reads back from the printer's source socket.
#
#   KRZ_RUNNER=cmake/wine-run.sh W32_WINEPREFIX=... sh wine_job.sh BIN
set -u
BIN=$1
RUNNER=${KRZ_RUNNER:?KRZ_RUNNER names the Wine runner}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/krzport-wine.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
JOB=$WORK/job.txt
i=0
: >"$JOB"
while [ $i -lt 64 ]; do
  printf 'Page %03d %s\f' $i "$(head -c 4086 /dev/zero | tr '\0' 'x')" >>"$JOB"
  i=$((i + 1))
done
SIZE=$(wc -c <"$JOB")

. "$(dirname "$0")/../../tools/start-ready.sh"
start_ready "$WORK/port.out" "*serving*" $RUNNER "$BIN/krzport_fakedrv.exe" --port LPT1 \
  --device '\\.\LPT1.4' --quiet --stop-file "$WORK/stop" || { echo "krzport did not start" >&2; exit 1; }
PORT=$STARTED

$RUNNER "$BIN/krzprint.exe" --no-progress --read 4 --read-bytes 4096 --out "$WORK/back" "$JOB"
RC=$?
: >"$WORK/stop"
wait $PORT
PORT_RC=$?
wait
cat "$WORK/port.out"
[ $RC -eq 0 ] || { echo "krzprint failed ($RC)" >&2; exit 1; }
[ $PORT_RC -eq 0 ] || { echo "krzport failed ($PORT_RC)" >&2; exit 1; }
[ "$(wc -c <"$WORK/back")" -eq 4096 ] || { echo "read back $(wc -c <"$WORK/back") bytes" >&2; exit 1; }
SUM=$(cksum <"$JOB" | cut -d' ' -f1)
tr -d '\r' <"$WORK/port.out" |
  grep -qx "fake driver: sink $SIZE bytes, cksum $SUM, violations 0, address sets 1" ||
  { echo "the printer did not get the job's $SIZE bytes cleanly" >&2; exit 1; }
echo "krzport under Wine: $SIZE bytes printed, 4096 read back"
