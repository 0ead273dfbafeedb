#!/bin/sh
# Installs the Debian packages the build and the tests need (idempotent; the
# package lists are refreshed only when something is missing).
set -e
PKGS="cmake ninja-build g++ googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 clang-format clang ccache umockdev libumockdev-dev"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
fi
