# The version comparison (src/ZKXMisc/ZKVerCmp.cpp), compiled into the target
# so that the coverage instrumentation sees it; it makes no platform call.
# Included from fuzz/CMakeLists.txt.  A bounded run is part of the suite:
#   ctest -R version_compare_fuzz
add_executable(version_compare_fuzz
  ${CMAKE_CURRENT_LIST_DIR}/version_compare_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKVerCmp.cpp)
target_include_directories(version_compare_fuzz PRIVATE
  ${PROJECT_SOURCE_DIR}/src/ZKXMisc
  ${PROJECT_SOURCE_DIR}/src/win32/include)
target_compile_options(version_compare_fuzz PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
target_link_options(version_compare_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
if(ZKX_BUILD_TESTS)
  add_test(NAME version_compare_fuzz
    COMMAND version_compare_fuzz -runs=300000 -max_len=600 -seed=1)
endif()
