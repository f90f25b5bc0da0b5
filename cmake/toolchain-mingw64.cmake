# Cross build for 64-bit Windows with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELK_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model, so that the C++ runtime has its full thread support.
find_program(CMAKE_C_COMPILER NAMES ${VELK_MINGW_PREFIX}-gcc-posix ${VELK_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELK_MINGW_PREFIX}-g++-posix ${VELK_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
