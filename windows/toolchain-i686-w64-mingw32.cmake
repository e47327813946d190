# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-i686).  Use with the project in this folder:
#   cmake -S windows -B build-windows -DCMAKE_TOOLCHAIN_FILE=$PWD/windows/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZKX_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZKX_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZKX_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${ZKX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's sysroot only; programs
# (the build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZKX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
