# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads model, so that
# std::thread and std::mutex exist):  cmake -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELVORA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELVORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELVORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELVORA_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZELVORA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs run on this machine through Wine: the tests, and anything CMake itself runs.
find_program(ZELVORA_WINE NAMES wine wine64)
if(ZELVORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELVORA_WINE})
endif()
