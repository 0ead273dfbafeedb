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

# The sample INI names every key the library reads (ReadKey in
# src/shared/config.cpp), each with its default, and the log's two keys.
mkdir "$WORK/unpacked"
(cd "$WORK/unpacked" && cmake -E tar xf "$ZIP")
INI=$(find "$WORK/unpacked" -name KRZTBX15.INI)
grep -o 'ReadKey("[A-Za-z_]*", [0-9]*)' "$SRC/src/shared/config.cpp" |
  sed 's/ReadKey("\([A-Za-z_]*\)", \([0-9]*\))/\1=\2/' >"$WORK/keys"
[ "$(wc -l <"$WORK/keys")" -ge 15 ] || { echo "no keys found in config.cpp" >&2; exit 1; }
printf 'KRZMLC15=0\nLogFile=\n' >>"$WORK/keys"
while read -r kv; do
  grep -qx "$kv" "$INI" || { echo "KRZTBX15.INI lacks $kv" >&2; exit 1; }
done <"$WORK/keys"
echo "$(basename "$ZIP"): $(wc -l <"$WORK/list") entries, $(wc -l <"$WORK/keys") INI keys"
