# Fails when a source of the project includes <barrier>, <latch> or
# <semaphore>. In MinGW's C++ runtime (no futex underneath) their waits can
# miss a wake-up: a waiter that checks the value just before its partner
# changes it goes to sleep after the notification and never wakes. A test
# thread left so while holding a port mutex hung every later user of the
# port under Wine. Meet on Win32 events instead (tests/link_process_test.cpp).
#   cmake -DROOT=<source dir> -P lossy_waits.cmake
file(GLOB tops LIST_DIRECTORIES true ${ROOT}/*)
set(sources "")
foreach(top IN LISTS tops)
  get_filename_component(name ${top} NAME)
  if(IS_DIRECTORY ${top} AND NOT name MATCHES "^(build|\\.)")  # build trees, .git
    file(GLOB_RECURSE found_here ${top}/*.cpp ${top}/*.h ${top}/*.c)
    list(APPEND sources ${found_here})
  endif()
endforeach()
set(found "")
foreach(file IN LISTS sources)
  file(STRINGS ${file} hits REGEX "^[ \t]*#[ \t]*include[ \t]*<(barrier|latch|semaphore)>")
  if(hits)
    string(APPEND found "  ${file}: ${hits}\n")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "waits that can lose a wake-up under MinGW:\n${found}")
endif()
