#!/bin/sh
# The main job: installs what the build needs, builds Release, starts the
# printer emulator on a private namespace and Windows directory, prints a
# sample job through the library with krzprint (reading back what the
# printer's source socket sends, then asking the printer's status on its
# status socket, a message channel), and shows the summary and the decoded
# wire trace. Exit code: krzprint's, or 1 when the emulator saw the host
# break the protocol or something was left behind.
#
#   sh tools/main-job.sh [BUILD_DIR] [-- krzprint options]
set -e
cd "$(dirname "$0")/.."
BUILD=${1:-build/rel}
[ $# -gt 0 ] && shift
[ "$1" = "--" ] && shift

sh tools/deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target krzprint krzemu krzhid15
BIN=$(cd "$BUILD/bin" && pwd)
exec sh tools/run-job.sh "$BIN" "$@"
