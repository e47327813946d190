# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain
# (package g++-mingw-w64-x86-64).  The 64-bit build exists to run the test
# suite under a 64-bit Wine where a 32-bit one cannot be installed:
#   cmake -S windows -B build-wine -DCMAKE_TOOLCHAIN_FILE=$PWD/windows/toolchain-x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZKX_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_compilers.cmake)
