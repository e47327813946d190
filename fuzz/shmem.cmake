# The shared-memory heap's fuzz target: operation sequences on a region in a
# plain buffer, with the heap checker as the oracle.  It needs no platform
# layer, only the heap's own sources.  Include this file from the fuzz
# folder's CMakeLists.txt (clang with -fsanitize=fuzzer).
add_executable(shmem_ops_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/shmem_ops_fuzz.cpp
  ${CMAKE_SOURCE_DIR}/src/ZKXMisc/ZKShMemHeap.cpp
  ${CMAKE_SOURCE_DIR}/src/ZKXMisc/ZKShMemCheck.cpp)
target_include_directories(shmem_ops_fuzz PRIVATE
  ${CMAKE_SOURCE_DIR}/src/ZKXMisc ${CMAKE_SOURCE_DIR}/src/win32/include)
target_compile_options(shmem_ops_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(shmem_ops_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
