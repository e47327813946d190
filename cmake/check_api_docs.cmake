# Fails unless every export of the module-definition file is a documented
# function of the reference.  Doxygen lists only documented members, so an
# export missing from its index is undocumented or not in a public header.
#   cmake -DDEF=ZKXMisc.def -DINDEX=docs/xml/index.xml -P check_api_docs.cmake
file(STRINGS ${DEF} lines REGEX "@[0-9]+[ \t]*$")
file(READ ${INDEX} index)
set(missing)
foreach(line IN LISTS lines)
  string(REGEX MATCH "^[ \t]*([^ \t]+)" _ "${line}")
  # A decorated standard-call name stands for its plain name.
  string(REGEX REPLACE "^_(.*)@[0-9]+$" "\\1" name "${CMAKE_MATCH_1}")
  if(NOT index MATCHES "kind=\"function\"><name>${name}</name>")
    list(APPEND missing ${name})
  endif()
endforeach()
list(LENGTH lines count)
if(missing)
  message(FATAL_ERROR "exports without documentation in a public header: ${missing}")
endif()
message(STATUS "all ${count} exports are documented")
