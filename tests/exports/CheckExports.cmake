# Fails when the shared library exports more than its interface: every name
# it exports must belong to a class or function that a header of include/kw
# marks KW_API, and none may name the OS layer (kw::os), not even in a
# parameter's type.
#
#   cmake -DLIBRARY=<libkwbase.so|kwbase.dll> -DFORMAT=<elf|pe> -DLISTER=<nm|objdump>
#         -DDEMANGLER=<c++filt> -DHEADERS=<include/kw> [-DALLOWED=<regex>] -P CheckExports.cmake
#
# ALLOWED: names outside the kw namespace that the compiler exports on its own.
cmake_minimum_required(VERSION 3.20)

foreach(input LIBRARY FORMAT LISTER DEMANGLER HEADERS)
  if(NOT ${input})
    message(FATAL_ERROR "CheckExports: ${input} is not set")
  endif()
endforeach()

# The interface: the classes and free functions the headers mark KW_API.
set(interface "")
file(GLOB headers ${HEADERS}/*.h)
foreach(header ${headers})
  file(STRINGS ${header} lines REGEX "KW_API")
  foreach(line ${lines})
    if(line MATCHES "(class|struct) KW_API ([A-Za-z_0-9]+)")
      list(APPEND interface ${CMAKE_MATCH_2})
    elseif(line MATCHES "^KW_API .*[ *&](operator)[^(]*\\(")
      list(APPEND interface ${CMAKE_MATCH_1})
    elseif(line MATCHES "^KW_API .*[ *&]([A-Za-z_0-9]+)\\(")
      list(APPEND interface ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
if(NOT interface)
  message(FATAL_ERROR "CheckExports: no KW_API declaration found in ${HEADERS}")
endif()

# The exported names, mangled.
if(FORMAT STREQUAL "elf")
  execute_process(COMMAND ${LISTER} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  string(REGEX REPLACE "(^|\n)[0-9a-fA-F]+ +[A-Za-z] " "\\1" names "${listing}")
else()
  execute_process(COMMAND ${LISTER} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  set(heading "[Ordinal/Name Pointer] Table\n")
  string(FIND "${listing}" "${heading}" start)
  if(start LESS 0)
    message(FATAL_ERROR "CheckExports: ${LIBRARY} has no export table")
  endif()
  string(LENGTH "${heading}" length)
  math(EXPR start "${start} + ${length}")
  string(SUBSTRING "${listing}" ${start} -1 listing)
  string(FIND "${listing}" "\n\n" end)
  string(SUBSTRING "${listing}" 0 ${end} listing)
  string(REGEX REPLACE "(^|\n)\t\\[ *[0-9]+\\] " "\\1" names "${listing}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${LISTER} failed on ${LIBRARY}")
endif()

set(mangled ${CMAKE_CURRENT_BINARY_DIR}/exports-mangled.txt)
file(WRITE ${mangled} "${names}\n")
execute_process(COMMAND ${DEMANGLER} INPUT_FILE ${mangled} OUTPUT_VARIABLE demangled
  RESULT_VARIABLE status)
file(REMOVE ${mangled})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${DEMANGLER} failed")
endif()

# One list entry per line: brackets and semicolons would split or join them.
string(REPLACE ";" "," demangled "${demangled}")
string(REPLACE "[" "(" demangled "${demangled}")
string(REPLACE "]" ")" demangled "${demangled}")
string(REPLACE "\n" ";" demangled "${demangled}")

set(count 0)
set(strays "")
foreach(name ${demangled})
  if(name STREQUAL "")
    continue()
  endif()
  math(EXPR count "${count} + 1")
  string(REGEX REPLACE
    "^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|non-virtual thunk to|virtual thunk to|guard variable for) "
    "" owner "${name}")
  if(ALLOWED AND name MATCHES "${ALLOWED}")
    continue()
  endif()
  if(name MATCHES "kw::os::" OR NOT owner MATCHES "^kw::([A-Za-z_0-9]+)")
    list(APPEND strays "${name}")
  elseif(NOT CMAKE_MATCH_1 IN_LIST interface)
    list(APPEND strays "${name}")
  endif()
endforeach()

if(count EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${LIBRARY} exports nothing")
endif()
list(LENGTH strays strayCount)
if(strayCount GREATER 0)
  string(REPLACE ";" "\n  " strays "${strays}")
  message(FATAL_ERROR
    "${LIBRARY} exports ${strayCount} of its ${count} names outside its interface:\n  ${strays}")
endif()
message(STATUS "${LIBRARY}: ${count} exported names, all of the interface")
