# Derives the linker's export list for the 32-bit DLL from ZKXMisc.def and
# the symbols that the compiled objects define, and checks the calling
# convention of every export on the way.
#
#   cmake -DDEF=ZKXMisc.def -DNM=i686-w64-mingw32-nm -DOBJECTS="a.obj|b.obj"
#         -DCALLER_CLEANS="ZKDLogOut" -DENTRY=_DllMain@12 -DSTRICT=ON
#         -DOUT=prefix -P mingw_exports.cmake
#   (-DNM_OUTPUT=file reads nm's output from a file instead of running nm.)
#   -DPLAIN=ON: objects of x64, whose C names carry no decoration and whose
#   one calling convention leaves nothing to check; every export, the
#   table's decorated one too, goes out under its plain name.
#
# Why not hand ZKXMisc.def to the linker as it stands: GNU ld reads a .def
# name as a C name without its leading underscore, so the table's decorated
# _ZKShMemIndexAddress@8 would be looked up as __ZKShMemIndexAddress@8, and
# the undecorated standard-convention names would only resolve through ld's
# stdcall "fixup" guesses.  Here every export names its symbol explicitly.
#
# Writes:
#   <OUT>.ld.def       for the linker: export name = symbol @ordinal
#   <OUT>.implib.def   for dlltool --kill-at: the import library maps the
#                      decorated names that callers' objects use to the
#                      export names of the DLL
#   <OUT>.present.def  the table's entries that this build exports, in the
#                      table's own syntax: what the export directory must show
#   <OUT>.missing.txt  the table's names that no object defines yet
#   <OUT>.probe.c      a program that imports every export through the
#                      import library, by the symbols callers' objects use
#
# Fails with every problem listed: an export compiled with the wrong calling
# convention, a decorated export whose argument size differs, a missing entry
# symbol, and (STRICT=ON) any name of the table that no object defines.

cmake_minimum_required(VERSION 3.20)

foreach(var DEF OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "mingw_exports: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED STRICT)
  set(STRICT ON)
endif()

# --- the table ---------------------------------------------------------------
file(STRINGS "${DEF}" def_lines)
set(library "")
set(entries "")          # "name|ordinal", in the table's order
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(REGEX REPLACE ";.*$" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(line MATCHES "^LIBRARY[ \t]+\"?([^ \t\"]+)")
    set(library "${CMAKE_MATCH_1}")
    continue()
  endif()
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
    continue()
  endif()
  if(NOT in_exports)
    continue()
  endif()
  if(NOT line MATCHES "^([A-Za-z_][A-Za-z0-9_]*(@[0-9]+)?)[ \t]+@([0-9]+)$")
    message(FATAL_ERROR "mingw_exports: ${DEF}: cannot read export line '${line}'")
  endif()
  list(APPEND entries "${CMAKE_MATCH_1}|${CMAKE_MATCH_3}")
endforeach()
if(library STREQUAL "" OR NOT entries)
  message(FATAL_ERROR "mingw_exports: ${DEF} has no LIBRARY line or no exports")
endif()

# --- the symbols the objects define ------------------------------------------
if(DEFINED NM_OUTPUT)
  file(READ "${NM_OUTPUT}" nm_text)
else()
  string(REPLACE "|" ";" object_list "${OBJECTS}")
  execute_process(COMMAND ${NM} --defined-only --extern-only ${object_list}
                  OUTPUT_VARIABLE nm_text RESULT_VARIABLE nm_rc)
  if(NOT nm_rc EQUAL 0)
    message(FATAL_ERROR "mingw_exports: ${NM} failed (${nm_rc})")
  endif()
endif()
string(REPLACE "\n" ";" nm_lines "${nm_text}")
set(defined_symbols "")
foreach(line IN LISTS nm_lines)
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Z] (.+)$")
    continue()
  endif()
  set(sym "${CMAKE_MATCH_1}")
  list(APPEND defined_symbols "${sym}")
  if(PLAIN)
    set("plain_${sym}" TRUE)
    continue()
  endif()
  # C names of i386: _name for the caller-cleans convention, _name@bytes
  # for the standard one.
  if(sym MATCHES "^_([A-Za-z_][A-Za-z0-9_]*)@([0-9]+)$")
    set("stdcall_${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
  elseif(sym MATCHES "^_([A-Za-z_][A-Za-z0-9_]*)$")
    set("cdecl_${CMAKE_MATCH_1}" TRUE)
  endif()
endforeach()

# --- match each entry to its symbol ------------------------------------------
set(problems "")
set(missing "")
set(ld_lines "")
set(implib_lines "")
set(present_lines "")
set(caller_symbols "")   # what a caller's object references: _name or _name@bytes
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 ordinal)
  if(PLAIN)
    string(REGEX REPLACE "^_([A-Za-z_][A-Za-z0-9_]*)@[0-9]+$" "\\1" base "${name}")
    if(DEFINED "plain_${base}")
      list(APPEND ld_lines "${base} @${ordinal}")
      list(APPEND implib_lines "${base} @${ordinal}")
      list(APPEND caller_symbols "${base}")
      list(APPEND present_lines "${base} @${ordinal}")
    else()
      list(APPEND missing "${name}")
    endif()
    continue()
  endif()
  if(name MATCHES "^_([A-Za-z_][A-Za-z0-9_]*)@([0-9]+)$")
    # Exported under its decorated name: the symbol must carry exactly it.
    set(base "${CMAKE_MATCH_1}")
    set(bytes "${CMAKE_MATCH_2}")
    if(DEFINED "stdcall_${base}" AND "${stdcall_${base}}" STREQUAL "${bytes}")
      list(APPEND ld_lines "${name} = ${base}@${bytes} @${ordinal}")
      list(APPEND implib_lines "${base}@${bytes} @${ordinal} == ${name}")
      list(APPEND caller_symbols "_${base}@${bytes}")
    elseif(DEFINED "stdcall_${base}")
      list(APPEND problems "${base} takes ${stdcall_${base}} bytes of arguments; the table exports ${name}")
      continue()
    elseif(DEFINED "cdecl_${base}")
      list(APPEND problems "${base} must use the standard calling convention (ZKAPI); the table exports ${name}")
      continue()
    else()
      list(APPEND missing "${name}")
      continue()
    endif()
  elseif(name IN_LIST CALLER_CLEANS)
    if(DEFINED "cdecl_${name}")
      list(APPEND ld_lines "${name} @${ordinal}")
      list(APPEND implib_lines "${name} @${ordinal}")
      list(APPEND caller_symbols "_${name}")
    elseif(DEFINED "stdcall_${name}")
      list(APPEND problems "${name} must use the caller-cleans convention (ZKAPIV)")
      continue()
    else()
      list(APPEND missing "${name}")
      continue()
    endif()
  else()
    if(DEFINED "stdcall_${name}")
      list(APPEND ld_lines "${name} = ${name}@${stdcall_${name}} @${ordinal}")
      list(APPEND implib_lines "${name}@${stdcall_${name}} @${ordinal}")
      list(APPEND caller_symbols "_${name}@${stdcall_${name}}")
    elseif(DEFINED "cdecl_${name}")
      list(APPEND problems "${name} must use the standard calling convention (ZKAPI)")
      continue()
    else()
      list(APPEND missing "${name}")
      continue()
    endif()
  endif()
  list(APPEND present_lines "${name} @${ordinal}")
endforeach()

if(DEFINED ENTRY AND NOT ENTRY STREQUAL "" AND NOT ENTRY IN_LIST defined_symbols)
  list(APPEND problems "no object defines ${ENTRY}: the runtime's empty default entry would be linked instead of the library's")
endif()
if(STRICT AND missing)
  list(JOIN missing " " missing_text)
  list(APPEND problems "no object defines these exports of the table: ${missing_text}")
endif()
if(problems)
  list(JOIN problems "\n  " problems_text)
  message(FATAL_ERROR "mingw_exports: ${DEF}:\n  ${problems_text}")
endif()

# --- write -------------------------------------------------------------------
function(write_def path lines)
  set(body "LIBRARY ${library}\nEXPORTS\n")
  foreach(l IN LISTS lines)
    string(APPEND body "    ${l}\n")
  endforeach()
  file(WRITE "${path}" "${body}")
endfunction()
write_def("${OUT}.ld.def" "${ld_lines}")
write_def("${OUT}.implib.def" "${implib_lines}")
write_def("${OUT}.present.def" "${present_lines}")
set(missing_body "")
foreach(m IN LISTS missing)
  string(APPEND missing_body "${m}\n")
endforeach()
file(WRITE "${OUT}.missing.txt" "${missing_body}")

set(probe "/* Generated: imports every export of ${library} through its import library. */\n")
set(refs "")
set(i 0)
foreach(sym IN LISTS caller_symbols)
  string(APPEND probe "extern char zk_import_${i} __asm__(\"__imp_${sym}\");\n")
  string(APPEND refs "    &zk_import_${i},\n")
  math(EXPR i "${i} + 1")
endforeach()
string(APPEND probe "char* const zk_imports[] = {\n${refs}    0\n};\n")
string(APPEND probe "int main(void) { return zk_imports[0] == 0; }\n")
file(WRITE "${OUT}.probe.c" "${probe}")
if(missing)
  list(LENGTH missing n)
  message(STATUS "mingw_exports: ${n} exports of the table are not defined yet; they are left out (non-strict build)")
endif()
