# The shared-memory heap's operations on a region in a plain buffer, driven
# through the tests' model of the heap; no platform layer is needed.  Included
# from fuzz/CMakeLists.txt:
#   include(${CMAKE_CURRENT_SOURCE_DIR}/shmem.cmake)
# Run (new inputs go to the first folder): mkdir -p /tmp/shmem_corpus &&
#   shmem_ops_fuzz -max_total_time=30 /tmp/shmem_corpus fuzz/corpus/shmem_ops
add_executable(shmem_ops_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/shmem_ops_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/tests/ZKXMisc/shmem_test_util.cpp
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKShMemHeap.cpp
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKShMemCheck.cpp
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKShMemJournal.cpp
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKShMemLookup.cpp)
target_include_directories(shmem_ops_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc
  ${PROJECT_SOURCE_DIR}/tests/ZKXMisc
  ${PROJECT_SOURCE_DIR}/src/win32/include)
target_compile_options(shmem_ops_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(shmem_ops_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
