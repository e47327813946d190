# The registry's key-file parser (src/win32/registry/format.cpp) on its own,
# without the store.  Included from fuzz/CMakeLists.txt:
#   include(${CMAKE_CURRENT_SOURCE_DIR}/registry.cmake)
# Run: registry_parse_fuzz -max_total_time=30 fuzz/corpus/registry_parse
add_executable(registry_parse_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/registry_parse_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/win32/registry/format.cpp
  ${PROJECT_SOURCE_DIR}/src/win32/registry/names.cpp)
target_include_directories(registry_parse_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/src/win32
  ${PROJECT_SOURCE_DIR}/src/win32/include)
target_compile_options(registry_parse_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(registry_parse_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
