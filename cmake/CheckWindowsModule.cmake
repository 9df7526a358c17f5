cmake_minimum_required(VERSION 3.25)
# Checks a Windows DLL as the host service will meet it: a PE32+ x86-64 DLL that exports exactly
# the given names and imports only DLLs that every Windows installation has.
# Usage: cmake -DOBJDUMP=... -DMODULE=... -DEXPORTS=a,b -P CheckWindowsModule.cmake
set(allowed_imports kernel32.dll msvcrt.dll ole32.dll oleaut32.dll winhttp.dll advapi32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump cannot read ${MODULE}")
endif()
if(NOT dump MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "${MODULE} is not a PE32+ x86-64 image")
endif()
if(NOT dump MATCHES "Characteristics[^\n]*\n([ \t]+[^\n]*\n)*[ \t]+DLL\n")
  message(FATAL_ERROR "${MODULE} is not marked as a DLL")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${dump}")
foreach(line ${import_lines})
  string(REGEX REPLACE "DLL Name: " "" name "${line}")
  string(TOLOWER "${name}" name)
  string(STRIP "${name}" name)
  if(NOT name IN_LIST allowed_imports)
    message(FATAL_ERROR "${MODULE} imports ${name}, which is not a system DLL")
  endif()
endforeach()

# The export name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" table_start)
if(table_start EQUAL -1)
  message(FATAL_ERROR "${MODULE} exports nothing")
endif()
string(SUBSTRING "${dump}" ${table_start} -1 table)
string(REGEX MATCH "Table\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)*)" table "${table}")
# Brackets would group list items in CMake: the names are cut out of the lines first.
string(REGEX REPLACE "[ \t]+\\[[ 0-9]+\\] ([^\n]+)\n" "\\1;" exports "${CMAKE_MATCH_1}")
list(REMOVE_ITEM exports "")
list(SORT exports)
string(REPLACE "," ";" expected "${EXPORTS}")
list(SORT expected)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "${MODULE} exports [${exports}], expected exactly [${expected}]")
endif()
message(STATUS "${MODULE}: PE32+ x86-64 DLL, exports [${exports}], imports only system DLLs")
