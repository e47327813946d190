# `cpack` (or `cmake --build <dir> --target package`) makes one Debian
# package with the libraries, the headers, the CMake and pkg-config files and
# the zkx tool.  Its files live under /usr/lib, /usr/include/zkxmisc and
# /usr/bin/zkx, names no Debian package uses.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zkxmisc)
set(CPACK_PACKAGE_VENDOR "ZKXMisc maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "shared services of an administration module, on a Win32 layer for Linux")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ZKXMisc maintainers <maintainers@zkxmisc.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "shared services of an administration module, on a Win32 layer for Linux
 ZKXMisc gives the programs and services of a product's administration
 module a per-module debug log configured from the registry, an
 owner-tracked critical section, a cross-process multi-reader mutex, pools
 of polling worker threads, a block heap in named shared memory, the
 installation's settings and version stamps.
 .
 It runs on libzkxwin32, a Linux stand-in for the Win32 calls it makes,
 shipped in this package with its headers.  The zkx tool inspects the
 registry, the logs and the named objects.")
# Dependencies on libc and libstdc++ come from the binaries themselves; the
# package's own libraries get a shlibs file and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES OFF)
# Runtime directories the Debian way: a tmpfiles.d entry makes /run/zkx and
# the "shared" namespace of the zkx system group at every boot, and the
# maintainer script makes the group and the directories at installation.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zkxmisc-tmpfiles.conf
  DESTINATION lib/tmpfiles.d RENAME zkxmisc.conf)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
