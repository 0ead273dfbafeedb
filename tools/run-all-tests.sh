#!/bin/sh
# Builds every flavour and runs the test suites, in stages:
#   native-asan  Debug with AddressSanitizer + UndefinedBehaviorSanitizer: every test;
#   release      the native Release tree whole (what the packages and the
#                benchmarks use) and the Debian package made from it;
#   mingw-i686   the shipped 32-bit Windows binaries only (DLLs, helper, tools,
#                the C client), with their export tables and ZIP checked natively;
#   wine         MinGW x86_64: the tests labelled "wine" (what only real Win32
#                can prove) under 64-bit Wine;
#   tsan         ThreadSanitizer: the library's multi-thread suites;
#   fuzz         clang with libFuzzer: a minute of the receive path, half a minute
#                of the replies and peer commands of bring-up.
# A failing stage does not stop the later ones: every stage runs and reports
# its time; the script fails at the end if any stage failed.
# STAGES="native-asan wine" runs only those.
cd "$(dirname "$0")/.." || exit 1
sh tools/deps.sh || exit 1
JOBS=$(nproc)
B=${W32_BUILD_ROOT:-build}
STAGES=${STAGES:-native-asan release mingw-i686 wine tsan fuzz}
# A compiler cache, when the machine has one, spares rebuilding what did not change.
CACHE=""
command -v ccache >/dev/null 2>&1 &&
  CACHE="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"

stage_native_asan() {
  cmake -S . -B "$B/native-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_SANITIZE=ON $CACHE &&
    cmake --build "$B/native-asan" -j "$JOBS" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
      ctest --test-dir "$B/native-asan" -j "$JOBS" --output-on-failure
}

stage_release() {
  cmake -S . -B "$B/rel" -G Ninja -DCMAKE_BUILD_TYPE=Release $CACHE &&
    cmake --build "$B/rel" -j "$JOBS" &&
    (cd "$B/rel" && cpack -G DEB >cpack.log) && find "$B/rel" -maxdepth 2 -name '*.deb' | grep .
}

stage_mingw_i686() {
  # Packing installs what ships without building every target first.
  cmake -S . -B "$B/mingw-i686" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON $CACHE &&
    cmake --build "$B/mingw-i686" -j "$JOBS" --target KRZMLC15 KRZMEM15 krzcom15 krzhid15 \
      krzprint krzemu krzstat krzport krzmlc15_cclient &&
    ctest --test-dir "$B/mingw-i686" -L native --output-on-failure
}

stage_wine() {
  cmake -S . -B "$B/mingw-x86_64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake $CACHE &&
    cmake --build "$B/mingw-x86_64" -j "$JOBS" &&
    ctest --test-dir "$B/mingw-x86_64" -L wine -j 1 --output-on-failure
}

stage_tsan() {
  # The 100,000-cycle create/close loop proves nothing about threads and
  # takes minutes under ThreadSanitizer.
  cmake -S . -B "$B/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DW32_TSAN=ON $CACHE &&
    cmake --build "$B/tsan" -j "$JOBS" --target kernel_tests platform_child krzmlc15_tests \
      krzmlc15_child krzmlc15_link_tests \
      krzmlc15_scene_tests krzmlc15_datachild \
      krzmlc15_helper_tests krzhid15 w32_leakcheck &&
    GTEST_FILTER=-Posix.CreateCloseCyclesLeakNoDescriptorsOrMappings \
      ctest --test-dir "$B/tsan" -j "$JOBS" --output-on-failure -R \
      '^(kernel_tests|krzmlc15_tests|krzmlc15_(link|scene|helper)_tests)(\.objects)?$'
}

stage_fuzz() {
  CC=clang CXX=clang++ cmake -S . -B "$B/clang-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DW32_FUZZ=ON $CACHE &&
    cmake --build "$B/clang-fuzz" -j "$JOBS" --target krzmlc15_fuzz_receive krzmlc15_fuzz_replies &&
    ctest --test-dir "$B/clang-fuzz" -R krzmlc15_fuzz --output-on-failure
}

FAILED=""
REPORT=""
TOTAL_START=$(date +%s)
for stage in $STAGES; do
  echo "== $stage =="
  start=$(date +%s)
  if "stage_$(echo "$stage" | tr - _)"; then
    outcome=passed
  else
    outcome=FAILED
    FAILED="$FAILED $stage"
  fi
  took=$(($(date +%s) - start))
  line=$(printf '%-12s %-7s %4d s' "$stage" "$outcome" "$took")
  echo "== $line"
  REPORT="$REPORT$line
"
done
echo "== stages (whole run $(($(date +%s) - TOTAL_START)) s)"
printf '%s' "$REPORT"
if [ -n "$FAILED" ]; then
  echo "failed stages:$FAILED"
  exit 1
fi
echo "all stages passed"
