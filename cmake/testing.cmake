# Test helpers shared by every folder.
#
# w32_add_gtest(<target> SOURCES ... [LIBS ...] [ARGS ...] [WINE_ARGS ...]
#               [TIMEOUT s] [SERIAL] [WINE])
#   Builds a GoogleTest program and registers it with CTest. SERIAL: runs
#   alone (timing-bound tests must not share the machine with it). WINE: the
#   program proves something only real Win32 can, so the Wine run keeps it
#   (label "wine"; the run selects by that label, everything else runs
#   natively only). ARGS go to the program everywhere, WINE_ARGS (e.g. a
#   --gtest_filter slice) only in the Windows builds. Natively each
#   test program gets a private object namespace (W32POSIX_NAMESPACE) and its
#   own Windows directory (W32POSIX_ROOT), so `ctest -j` is safe. After the
#   program, the test <target>.objects (w32_leakcheck, a CTest fixture
#   clean-up) checks that no named object of that namespace is left. Under Wine
#   the program runs through cmake/wine-run.sh in the build's prefix; Wine's
#   objects are shared by the whole prefix, so those runs are serial.
function(w32_add_gtest target)
  cmake_parse_arguments(T "SERIAL;WINE" "TIMEOUT" "SOURCES;LIBS;ARGS;WINE_ARGS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} w32_gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(args ${T_ARGS})
  if(WIN32)
    list(APPEND args ${T_WINE_ARGS})
  endif()
  add_test(NAME ${target} COMMAND ${target} ${args})
  if(WIN32 AND T_WINE)
    set_tests_properties(${target} PROPERTIES LABELS wine)
  endif()
  set(root ${CMAKE_BINARY_DIR}/testroot/${target})
  file(MAKE_DIRECTORY ${root}/WINDOWS/SYSTEM32)
  # The namespace also names the build tree: several checkouts of the
  # project may run the same test program on one machine at once.
  string(MD5 tree "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${tree}" 0 8 tree)
  set(env "W32POSIX_NAMESPACE=t-${target}-${tree};W32POSIX_ROOT=${root}")
  if(WIN32)
    list(APPEND env "W32_WINEPREFIX=${W32_WINEPREFIX}")
  endif()
  if(W32_TSAN_OPTIONS)
    list(APPEND env "TSAN_OPTIONS=${W32_TSAN_OPTIONS}")
  endif()
  set_tests_properties(${target} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(NOT WIN32 AND TARGET w32_leakcheck)
    add_test(NAME ${target}.objects COMMAND w32_leakcheck)
    set_tests_properties(${target}.objects PROPERTIES TIMEOUT 60 ENVIRONMENT "${env}"
                                                      FIXTURES_CLEANUP ${target}.namespace)
    set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED ${target}.namespace)
  endif()
  if(WIN32 OR T_SERIAL)
    set_tests_properties(${target} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
