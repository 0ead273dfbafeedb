#!/bin/sh
# Makes the Windows ZIP of a 32-bit build and checks that it holds what a
# user needs, in the folders WHERE.txt describes.
#
#   sh windows_zip.sh BUILD_DIR SOURCE_DIR
set -eu
BUILD=$1
SRC=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/krzzip.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cpack -G ZIP --config "$BUILD/CPackConfig.cmake" -B "$WORK" >"$WORK/cpack.log" ||
  { cat "$WORK/cpack.log" >&2; exit 1; }
ZIP=$(ls "$WORK"/*.zip)
(cd "$WORK" && cmake -E tar tf "$ZIP") | sed 's|^[^/]*/||' | sort >"$WORK/list"
for f in SYSTEM32/KRZMLC15.dll SYSTEM32/KRZMEM15.dll SYSTEM32/KRZCOM15.dll SYSTEM32/KRZHID15.exe \
         SDK/include/krzmlc15.h SDK/lib/libKRZMLC15.dll.a SDK/lib/libKRZMEM15.dll.a \
         SDK/lib/libKRZCOM15.dll.a TOOLS/krzprint.exe TOOLS/krzemu.exe TOOLS/krzstat.exe TOOLS/krzport.exe \
         WINDOWS/KRZTBX15.INI WHERE.txt; do
  grep -qx "$f" "$WORK/list" || { echo "$(basename "$ZIP") lacks $f" >&2; cat "$WORK/list" >&2; exit 1; }
done

# The settings as the library documents them: section KRZMLC15, each key
# with its default, in the order the library reads them; then this
# library's own addition (the helper's setup wait) and the log's two keys.
cat >"$WORK/keys" <<'KEYS'
MLC_PACKET_TIMEOUT_WHILE_BUSY=15000
MLC_PACKET_TIMEOUT_WHILE_NOT_BUSY=1000
MLC_INTER_PACKET_TIME_OUT=150
MIN_POLL_INTERVAL=1000
MAX_POLL_INTERVAL=5000
PingInterval=15
TO_HOST_PACKET_SIZE=1024
TO_PERI_PACKET_SIZE=4102
GRANT_CREDIT_FAST_SIZE=32767
CreditTimeout=5000
DoMemCopy=1
DoMLCSync=0
PPI_MUTEX_TIMEOUT=100
MLC_FORCE_POLL=0
MLC_RESENT_STREAM_PACKET=0
HELPER_SETUP_TIMEOUT=5000
KEYS
# The sample INI shows exactly these keys with these defaults, and the
# library reads exactly these with these defaults.
mkdir "$WORK/unpacked"
(cd "$WORK/unpacked" && cmake -E tar xf "$ZIP")
INI=$(find "$WORK/unpacked" -name KRZTBX15.INI)
printf 'KRZMLC15=0\nLogFile=\n' | cat "$WORK/keys" - >"$WORK/ini-keys"
tr -d '\r' <"$INI" | grep -v '^[;[]' | grep . >"$WORK/ini-has"
if ! diff "$WORK/ini-keys" "$WORK/ini-has" >&2; then
  echo "KRZTBX15.INI differs from the settings above (< expected, > found)" >&2
  exit 1
fi
grep -o 'ReadKey("[A-Za-z_]*", [0-9]*)' "$SRC/src/shared/config.cpp" |
  sed 's/ReadKey("\([A-Za-z_]*\)", \([0-9]*\))/\1=\2/' >"$WORK/code-reads"
if ! diff "$WORK/keys" "$WORK/code-reads" >&2; then
  echo "src/shared/config.cpp reads other keys or defaults (< expected, > found)" >&2
  exit 1
fi
echo "$(basename "$ZIP"): $(wc -l <"$WORK/list") entries, $(wc -l <"$WORK/ini-keys") INI keys"
