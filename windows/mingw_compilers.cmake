# The compilers of one mingw-w64 triplet (ZKX_MINGW_TRIPLET), shared by the
# toolchain files.  The tests use std::thread, which GCC 12's default
# "win32" thread model lacks, so a build with ZKX_WINDOWS_TESTS takes the
# "posix" flavour (winpthreads, linked statically so that nothing but system
# DLLs is imported).
if(ZKX_WINDOWS_TESTS)
  set(zkx_flavour -posix)
else()
  set(zkx_flavour "")
endif()
set(CMAKE_C_COMPILER ${ZKX_MINGW_TRIPLET}-gcc${zkx_flavour})
set(CMAKE_CXX_COMPILER ${ZKX_MINGW_TRIPLET}-g++${zkx_flavour})
set(CMAKE_RC_COMPILER ${ZKX_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's sysroot only; programs
# (the build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZKX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZKX_WINDOWS_TESTS)
