# Cross build for 64-bit Windows with mingw-w64 (Debian g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread model is needed for std::thread and std::mutex. Every program is linked
# statically, so veldra.exe needs no compiler runtime DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELDRA_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VELDRA_MINGW_PREFIX}-gcc-posix ${VELDRA_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VELDRA_MINGW_PREFIX}-g++-posix ${VELDRA_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${VELDRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELDRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under wine when it is installed (ctest uses this for every test command).
find_program(VELDRA_WINE NAMES wine64 wine)
if(VELDRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELDRA_WINE})
endif()
