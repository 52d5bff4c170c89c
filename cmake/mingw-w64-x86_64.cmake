# Cross build for Windows x86-64 with mingw-w64 (the posix thread model, which has
# std::thread and std::mutex), run under wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELNOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELNOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELNOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELNOR_MINGW_PREFIX}-windres)

# Headers and libraries come from the mingw tree only; programs (wine, cmake's helpers)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELNOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and try_run start the programs through wine. Debian's "wine" picks the 64-bit
# loader by itself when the 32-bit one is absent; the loader is named directly when the
# wrapper is missing.
find_program(VELNOR_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VELNOR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELNOR_WINE})
endif()
