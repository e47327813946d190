# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-i686).  Use with the project in this folder:
#   cmake -S windows -B build-windows -DCMAKE_TOOLCHAIN_FILE=$PWD/windows/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZKX_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_compilers.cmake)
