# Cross build of morva.exe with MinGW-w64 (posix threading variant), included by the toolchain
# file of each Windows build, which sets CMAKE_SYSTEM_PROCESSOR and MORVA_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MORVA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVA_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MORVA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs of this build run under Wine (CTest puts it before each of them).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/wine)
