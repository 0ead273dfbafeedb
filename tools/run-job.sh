#!/bin/sh
# Runs one print job against the emulator, privately: BIN is the folder
# with krzprint, krzemu and KRZHID15. Used by main-job.sh and by the
# end-to-end tests. Extra arguments go to krzprint.
#
#   sh tools/run-job.sh BIN [krzprint options]
#
# With KRZ_RUNNER set (cmake/wine-run.sh, with W32_WINEPREFIX) the Windows
# programs of BIN (krzprint.exe, krzemu.exe, KRZHID15.exe) run through it:
# the job then runs in that Wine prefix, whose objects are the namespace.
set -u
BIN=$1
shift
RUNNER=${KRZ_RUNNER:-}
EXE=""
[ -n "$RUNNER" ] && EXE=.exe
WORK=$(mktemp -d "${TMPDIR:-/tmp}/krzprint.XXXXXX")
W32POSIX_NAMESPACE=krzprint-$$
W32POSIX_ROOT=$WORK/root
export W32POSIX_NAMESPACE W32POSIX_ROOT
mkdir -p "$W32POSIX_ROOT/WINDOWS/SYSTEM32"
PATH=$BIN:$PATH
export PATH
# KRZ_LOG=1 writes the library's diagnostic log to $WORK/krzmlc15.log.
if [ -n "${KRZ_LOG:-}" ]; then
  printf '[DebugMsg]\r\nKRZMLC15=31\r\nLogFile=%s\r\n' "$WORK/krzmlc15.log" \
    >"$W32POSIX_ROOT/WINDOWS/KRZTBX15.INI"
fi
TRACE=$WORK/emulator.trace
READY=$WORK/emulator.ready

# A sample job: 2 MiB of page text.
JOB=$WORK/sample-job.txt
i=0
: >"$JOB"
while [ $i -lt 64 ]; do
  printf 'Page %03d %s\f' $i "$(head -c 32768 /dev/zero | tr '\0' 'x')" >>"$JOB"
  i=$((i + 1))
done

STOP=$WORK/emulator.stop
EMU_READY=""
EMU_STOP=""
$RUNNER "$BIN/krzemu$EXE" --help >"$WORK/emulator.help" 2>&1
grep -q -- --ready-file "$WORK/emulator.help" && EMU_READY="--ready-file $READY"
grep -q -- --stop-file "$WORK/emulator.help" && EMU_STOP="--stop-file $STOP"
# The sink keeps what it receives, so that the job can be compared.
$RUNNER "$BIN/krzemu$EXE" --port LPT1 --seconds 120 --trace "$TRACE" $EMU_READY $EMU_STOP \
  --service 1:status --service 2:sink:store --service 3:echo --service 4:source \
  >"$WORK/emulator.out" 2>&1 &
EMU=$!
n=0
# Ready once the readiness file or line is there (older emulators: once
# the trace file exists and a moment passed).
while :; do
  if [ -e "$READY" ] || grep -q "ready on" "$WORK/emulator.out" 2>/dev/null; then break; fi
  if [ -z "$EMU_READY" ] && [ -e "$TRACE" ] && [ $n -ge 5 ]; then break; fi
  if ! kill -0 $EMU 2>/dev/null || [ $n -ge 100 ]; then
    echo "run-job: the emulator did not start:" >&2
    cat "$WORK/emulator.out" >&2
    exit 1
  fi
  sleep 0.1
  n=$((n + 1))
done

echo "== krzprint $* $JOB (read back from socket 4)"
$RUNNER "$BIN/krzprint$EXE" --read 4 --read-bytes 65536 --out "$WORK/read-back.bin" "$@" "$JOB"
RC=$?

# The helper process ends once the last channel is closed; then the
# library's shared areas of this namespace are gone. Under Wine the areas
# are the prefix's own objects: there the helper of this prefix must end.
helpers() {
  for p in $(pgrep -f KRZHID15 2>/dev/null); do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=${W32_WINEPREFIX:-}" &&
      echo "KRZHID15 (pid $p)"
  done
}
left() {
  if [ -n "$RUNNER" ]; then
    helpers
  else
    ls /dev/shm 2>/dev/null | grep "^w32p\.$W32POSIX_NAMESPACE\.obj\.KRZMLC15"
  fi
}
n=0
while [ -n "$(left)" ] && [ $n -lt 50 ]; do
  sleep 0.1
  n=$((n + 1))
done
LEFT=$(left)

if [ -n "$EMU_STOP" ]; then
  : >"$STOP"
else
  kill -TERM $EMU 2>/dev/null
fi
wait $EMU
EMU_RC=$?
echo "== emulator summary"
# Newer emulators print it on standard output, older ones end the trace with it.
if grep -q "summary\|host violations" "$WORK/emulator.out"; then
  grep -v "ready on" "$WORK/emulator.out"
else
  sed -n '/^-- summary/,$p' "$TRACE"
fi
echo "== decoded wire trace: $TRACE ($(wc -l <"$TRACE") lines); first lines:"
head -n 12 "$TRACE"
echo "== files of this run: $WORK"
# The sink received exactly the job; the read-back is the source's pattern
# (byte i is i mod 256) for as many bytes as asked.
STORED=$(tr -d '\r' <"$WORK/emulator.out" | sed -n 's/^ *socket 2 stored \([0-9]*\) bytes, cksum \([0-9]*\)$/\2 \1/p')
SENT=$(cksum <"$JOB")
if [ "$STORED" != "$SENT" ]; then
  echo "run-job: the sink received [$STORED] (cksum, bytes), the job is [$SENT]" >&2
  [ $RC -eq 0 ] && RC=1
fi
if [ "$(wc -c <"$WORK/read-back.bin")" -ne 65536 ] ||
  ! od -An -v -tu1 -w1 "$WORK/read-back.bin" | awk '$1 != (NR - 1) % 256 { exit 1 }'; then
  echo "run-job: the read-back is not the 65536 bytes the source sent" >&2
  [ $RC -eq 0 ] && RC=1
fi
if [ -n "$LEFT" ]; then
  echo "run-job: shared areas left behind: $LEFT" >&2
  [ $RC -eq 0 ] && RC=1
fi
if [ $EMU_RC -ne 0 ] && [ $RC -eq 0 ]; then
  echo "run-job: the emulator reports host errors (exit $EMU_RC)" >&2
  RC=1
fi
exit $RC
