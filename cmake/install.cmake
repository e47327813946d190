# What a consumer gets from `cmake --install`: the two shared libraries, the
# public headers under include/zkxmisc (the family headers beside the
# platform layer's, so that ZKPlatform.h finds <zkxwin32.h> with one include
# directory), the zkx tool, a CMake package and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZKX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zkxmisc)
set(ZKX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZKXMisc)

# The family headers callers include; the *Priv.h headers and the internal
# headers of the shared-memory heap stay in the tree.
set(ZKX_PUBLIC_HEADERS
  CLib.h ZKDLog.h ZKEnv.h ZKExcl.h ZKMisc.h ZKPlatform.h ZKPoll.h ZKShMem.h
  ZKUtil.h ZKVer.h)
list(TRANSFORM ZKX_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/src/ZKXMisc/)

target_include_directories(zkxwin32 INTERFACE $<INSTALL_INTERFACE:${ZKX_INSTALL_INCLUDEDIR}>)
target_include_directories(ZKXMisc INTERFACE $<INSTALL_INTERFACE:${ZKX_INSTALL_INCLUDEDIR}>)
set_target_properties(zkxwin32 PROPERTIES EXPORT_NAME zkxwin32)
set_target_properties(ZKXMisc PROPERTIES EXPORT_NAME ZKXMisc)

# The installed tree is relocatable: the library finds the platform layer
# beside itself, and the tool finds both one level up.
set_target_properties(ZKXMisc PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS zkxwin32 ZKXMisc EXPORT ZKXMiscTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          NAMELINK_COMPONENT devel
  INCLUDES DESTINATION ${ZKX_INSTALL_INCLUDEDIR})
install(FILES ${ZKX_PUBLIC_HEADERS} DESTINATION ${ZKX_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/win32/include/
  DESTINATION ${ZKX_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

if(TARGET zkx)
  file(RELATIVE_PATH ZKX_BIN_TO_LIB
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(zkx PROPERTIES INSTALL_RPATH "$ORIGIN/${ZKX_BIN_TO_LIB}")
  install(TARGETS zkx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT ZKXMiscTargets NAMESPACE ZKXMisc:: DESTINATION ${ZKX_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/ZKXMiscConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZKXMiscConfig.cmake
  INSTALL_DESTINATION ${ZKX_INSTALL_CMAKEDIR})
# Within one major version the ABI holds (docs/versioning.md).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZKXMiscConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZKXMiscConfig.cmake
              ${PROJECT_BINARY_DIR}/ZKXMiscConfigVersion.cmake
  DESTINATION ${ZKX_INSTALL_CMAKEDIR})

# pkg-config: the paths are relative to the .pc file's own place, so a
# staged or relocated tree works as well as the final one.
file(RELATIVE_PATH ZKX_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZKX_PC_TO_PREFIX "${ZKX_PC_TO_PREFIX}")
configure_file(cmake/zkxmisc.pc.in ${PROJECT_BINARY_DIR}/zkxmisc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zkxmisc.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
