#!/bin/sh
# Runs the C client's "--all" against the emulator on LPT1 in the test's
# namespace (natively) or Wine prefix (KRZ_RUNNER set): every export called
# for real. The emulator must see no host violation.
#
#   sh cclient_emu.sh BIN_DIR
set -u
BIN=$1
RUNNER=${KRZ_RUNNER:-}
EXE=""
[ -n "$RUNNER" ] && EXE=.exe
# The library starts its helper from the programs' folder.
PATH=$BIN:$PATH
export PATH
WORK=$(mktemp -d "${TMPDIR:-/tmp}/krzcclient.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
$RUNNER "$BIN/krzemu$EXE" --port LPT1 --seconds 120 --trace none --ready-file "$WORK/ready" \
  --stop-file "$WORK/stop" >"$WORK/emulator.out" 2>&1 &
EMU=$!
n=0
until [ -e "$WORK/ready" ]; do
  if ! kill -0 $EMU 2>/dev/null || [ $n -ge 300 ]; then
    echo "the emulator did not start:" >&2
    cat "$WORK/emulator.out" >&2
    exit 1
  fi
  sleep 0.1
  n=$((n + 1))
done
$RUNNER "$BIN/krzmlc15_cclient$EXE" --all
RC=$?
: >"$WORK/stop"
wait $EMU
EMU_RC=$?
grep -v "ready on" "$WORK/emulator.out"
[ $RC -eq 0 ] && [ $EMU_RC -ne 0 ] && { echo "the emulator saw host errors" >&2; RC=1; }
exit $RC
