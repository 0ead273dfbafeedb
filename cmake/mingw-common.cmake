# Shared part of the MinGW toolchain files. The posix thread model is used
# when available so that the C++ runtime is complete; everything is linked
# statically so that test programs start under Wine without extra DLLs.
find_program(W32_CXX NAMES ${W32_TRIPLE}-g++-posix ${W32_TRIPLE}-g++ REQUIRED)
find_program(W32_CC NAMES ${W32_TRIPLE}-gcc-posix ${W32_TRIPLE}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${W32_CC})
set(CMAKE_CXX_COMPILER ${W32_CXX})
set(CMAKE_RC_COMPILER ${W32_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${W32_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
