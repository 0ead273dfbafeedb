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
. "$(dirname "$0")/../../tools/start-ready.sh"
start_ready "$WORK/emulator.out" "*ready on*" $RUNNER "$BIN/krzemu$EXE" --port LPT1 \
  --seconds 120 --trace none --stop-file "$WORK/stop" || { echo "the emulator did not start" >&2; exit 1; }
EMU=$STARTED
$RUNNER "$BIN/krzmlc15_cclient$EXE" --all
RC=$?
: >"$WORK/stop"
wait $EMU
EMU_RC=$?
wait
cat "$WORK/emulator.out"
[ $RC -eq 0 ] && [ $EMU_RC -ne 0 ] && { echo "the emulator saw host errors" >&2; RC=1; }
exit $RC
