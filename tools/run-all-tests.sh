#!/bin/sh
# Builds every flavour and runs every test suite:
#   1. native Linux, Debug with AddressSanitizer + UndefinedBehaviorSanitizer;
#   2. MinGW i686, the shipped Windows binaries (cross-compiled; their export
#      tables are checked natively);
#   3. MinGW x86_64, whose tests run under 64-bit Wine;
#   4. ThreadSanitizer: the library and its multi-thread tests;
#   5. clang with libFuzzer: a minute of fuzzing the receive path.
# Exits non-zero as soon as any build or any test fails.
set -e
cd "$(dirname "$0")/.."
sh tools/deps.sh
JOBS=$(nproc)
B=${W32_BUILD_ROOT:-build}
# A compiler cache, when the machine has one, spares rebuilding what did not change.
CACHE=""
command -v ccache >/dev/null 2>&1 &&
  CACHE="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"

echo "== native (ASan/UBSan) =="
cmake -S . -B "$B/native-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_SANITIZE=ON $CACHE
cmake --build "$B/native-asan" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  ctest --test-dir "$B/native-asan" -j "$JOBS" --output-on-failure

echo "== MinGW i686 (shipped binaries) =="
cmake -S . -B "$B/mingw-i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake $CACHE
cmake --build "$B/mingw-i686" -j "$JOBS"
# The checks of the shipped binaries that run on the build machine.
ctest --test-dir "$B/mingw-i686" -L native --output-on-failure

echo "== MinGW x86_64 under Wine =="
cmake -S . -B "$B/mingw-x86_64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake $CACHE
cmake --build "$B/mingw-x86_64" -j "$JOBS"
ctest --test-dir "$B/mingw-x86_64" -j 1 --output-on-failure

echo "== native (ThreadSanitizer) =="
cmake -S . -B "$B/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_TSAN=ON $CACHE
cmake --build "$B/tsan" -j "$JOBS" --target kernel_tests krzmlc15_tests krzmlc15_child \
  krzmlc15_link_tests krzmlc15_link_emu_tests krzmlc15_link_process_tests krzperi_script \
  krzmlc15_chan_tests krzmlc15_data_emu_tests krzmlc15_datachild krzhid15 w32_leakcheck
ctest --test-dir "$B/tsan" -j "$JOBS" --output-on-failure -R \
  'kernel_tests|krzmlc15_tests|krzmlc15_(link|link_emu|link_process|chan|data_emu)_tests'

echo "== clang libFuzzer (a minute on the receive path) =="
CC=clang CXX=clang++ cmake -S . -B "$B/clang-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_FUZZ=ON $CACHE
cmake --build "$B/clang-fuzz" -j "$JOBS" --target krzmlc15_fuzz_receive
ctest --test-dir "$B/clang-fuzz" -R krzmlc15_fuzz_receive --output-on-failure
