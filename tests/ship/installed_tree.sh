#!/bin/sh
# Installs the build into a scratch prefix, builds a tiny client against it
# with only `pkg-config --cflags --libs krzmlc15` and runs it; then makes
# the Debian package and checks what it holds.
#
#   sh installed_tree.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
BUILD=$1
SRC=$2
CC=$3
WORK=$(mktemp -d "${TMPDIR:-/tmp}/krzinstall.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cmake --install "$BUILD" --prefix "$WORK/prefix" >"$WORK/install.log"

PKG_CONFIG_PATH=$(dirname "$(find "$WORK/prefix" -name krzmlc15.pc)")
export PKG_CONFIG_PATH
FLAGS=$(pkg-config --cflags --libs krzmlc15)
echo "pkg-config: $FLAGS"
"$CC" -std=c11 -Wall -Wextra -Werror -o "$WORK/tiny" "$SRC/tests/ship/tiny_client.c" $FLAGS
"$WORK/tiny"
for f in bin/KRZHID15 bin/krzemu bin/krzprint bin/krzstat include/krzmlc15/krzmlc15.h \
         include/krzmlc15/windows.h include/krzmlc15/w32/user.h; do
  [ -e "$WORK/prefix/$f" ] || { echo "installed tree lacks $f" >&2; exit 1; }
done
"$WORK/prefix/bin/krzstat" --json >/dev/null

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/deb" >"$WORK/cpack.log" ||
  { cat "$WORK/cpack.log" >&2; exit 1; }
DEB=$(ls "$WORK"/deb/*.deb)
dpkg-deb -c "$DEB" >"$WORK/deb.list"
for f in ./usr/bin/KRZHID15 ./usr/bin/krzstat ./usr/bin/krzport ./usr/include/krzmlc15/krzmlc15.h \
         libKRZMLC15.so krzmlc15.pc KRZTBX15.INI krzport@.service; do
  grep -q -- "$f" "$WORK/deb.list" || { echo "$(basename "$DEB") lacks $f" >&2; exit 1; }
done
echo "$(basename "$DEB"): $(wc -l <"$WORK/deb.list") entries"
