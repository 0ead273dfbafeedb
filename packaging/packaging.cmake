# Installation and packages.
#   Linux:   cmake --install puts the libraries, headers (the library's and
#            the platform layer's <windows.h>, in include/krzmlc15/), the
#            helper, the emulator and the tools in the usual places with
#            krzmlc15.pc; `cpack -G DEB` makes the Debian package.
#   Windows: `cpack -G ZIP` in the 32-bit build makes the user's package
#            (folders SYSTEM32, WINDOWS, SDK, TOOLS; see WHERE.txt).
include(GNUInstallDirs)

set(KRZ_PROGRAMS krzhid15 krzprint krzemu krzbridge krzstat krzport)
set(KRZ_LIBRARIES KRZMLC15 KRZMEM15 krzcom15)
set(KRZ_HEADERS ${CMAKE_SOURCE_DIR}/include/krzmlc15.h
                ${CMAKE_SOURCE_DIR}/krzmem15/include/krzmem15.h
                ${CMAKE_SOURCE_DIR}/krzcom15/include/krzcom15.h
                ${CMAKE_SOURCE_DIR}/krzcom15/include/vperi.h)
if(NOT TARGET KRZMLC15)
  return()
endif()

if(WIN32)
  install(TARGETS ${KRZ_LIBRARIES} RUNTIME DESTINATION SYSTEM32 ARCHIVE DESTINATION SDK/lib)
  install(TARGETS krzhid15 RUNTIME DESTINATION SYSTEM32)
  foreach(program krzprint krzemu krzstat krzport)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION TOOLS)
    endif()
  endforeach()
  install(FILES ${CMAKE_SOURCE_DIR}/include/krzmlc15.h DESTINATION SDK/include)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/KRZTBX15.INI DESTINATION WINDOWS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/WHERE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  # Programs find the libraries in ../lib... of wherever the tree lands.
  file(RELATIVE_PATH libs_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  foreach(program ${KRZ_PROGRAMS})
    if(TARGET ${program})
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${libs_from_bin}")
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  install(TARGETS ${KRZ_LIBRARIES} w32posix LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${KRZ_HEADERS} ${CMAKE_SOURCE_DIR}/platform/include/windows.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/krzmlc15)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/include/w32
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/krzmlc15)
  # The .pc file finds the tree from where it lies, wherever it is unpacked.
  file(RELATIVE_PATH KRZ_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" KRZ_PC_TO_PREFIX "${KRZ_PC_TO_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/krzmlc15.pc.in ${CMAKE_BINARY_DIR}/krzmlc15.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/krzmlc15.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/KRZTBX15.INI ${CMAKE_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The service that serves a physical port (krzport@parport0).
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/krzport@.service DESTINATION lib/systemd/system)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
endif()

set(CPACK_PACKAGE_NAME krzmlc15)
set(CPACK_PACKAGE_VENDOR "krzmlc15")
set(CPACK_PACKAGE_CONTACT "krzmlc15 maintainers <krzmlc15@localhost>")
set(CPACK_PACKAGE_VERSION 1.5.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Logical channels to a printer over an IEEE 1284 port (MLC), with helper, emulator and tools")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)
include(CPack)
