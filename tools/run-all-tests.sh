#!/bin/sh
# Builds all three flavours and runs every test suite:
#   1. native Linux, Debug with AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. MinGW i686, the shipped Windows binaries (cross-compiled only);
#   3. MinGW x86_64, whose tests run under 64-bit Wine;
#   4. clang with libFuzzer: a minute of fuzzing the receive path.
# Exits non-zero as soon as any build or any test fails.
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh
JOBS=$(nproc)
B=${W32_BUILD_ROOT:-build}

echo "== native (ASan/UBSan) =="
cmake -S . -B "$B/native-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_SANITIZE=ON
cmake --build "$B/native-asan" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  ctest --test-dir "$B/native-asan" -j "$JOBS" --output-on-failure

echo "== MinGW i686 (shipped binaries) =="
cmake -S . -B "$B/mingw-i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
cmake --build "$B/mingw-i686" -j "$JOBS"

echo "== MinGW x86_64 under Wine =="
cmake -S . -B "$B/mingw-x86_64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
cmake --build "$B/mingw-x86_64" -j "$JOBS"
ctest --test-dir "$B/mingw-x86_64" -j 1 --output-on-failure

echo "== clang libFuzzer (a minute on the receive path) =="
CC=clang CXX=clang++ cmake -S . -B "$B/clang-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_FUZZ=ON
cmake --build "$B/clang-fuzz" -j "$JOBS" --target krzmlc15_fuzz_receive
ctest --test-dir "$B/clang-fuzz" -R krzmlc15_fuzz_receive --output-on-failure
