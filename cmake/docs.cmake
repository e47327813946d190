# The API reference, built by Doxygen when it is installed: target `docs`.
# Any Doxygen warning fails it, and so does an export it does not document.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  return()
endif()
set(ZKX_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
list(JOIN ZKX_PUBLIC_HEADERS " " ZKX_DOCS_INPUT)
string(APPEND ZKX_DOCS_INPUT " ${PROJECT_SOURCE_DIR}/docs/api.md")
configure_file(docs/Doxyfile.in ${ZKX_DOCS_OUTPUT}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZKX_DOCS_OUTPUT}
  COMMAND ${DOXYGEN_EXECUTABLE} ${ZKX_DOCS_OUTPUT}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -DDEF=${PROJECT_SOURCE_DIR}/src/ZKXMisc/ZKXMisc.def
          -DINDEX=${ZKX_DOCS_OUTPUT}/xml/index.xml
          -P ${PROJECT_SOURCE_DIR}/cmake/check_api_docs.cmake
  DEPENDS ${ZKX_PUBLIC_HEADERS} ${PROJECT_SOURCE_DIR}/docs/api.md
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Building the API reference with Doxygen"
  VERBATIM)
# Installed (and packaged) when it was built before the install.
install(DIRECTORY ${ZKX_DOCS_OUTPUT}/html/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zkxmisc/html OPTIONAL)
