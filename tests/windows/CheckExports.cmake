# Checks the module's DLL as the Windows loader sees it: a PE32 image for
# i386 that exports `_mod_descrip` alone and imports from KERNEL32.dll and
# msvcrt.dll alone.
#   cmake -DOBJDUMP=i686-w64-mingw32-objdump -DMODULE=pluginServer.p -P CheckExports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${MODULE}
  OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed (${status}): ${errors}")
endif()

set(faults "")
if(NOT dump MATCHES "file format pei-i386")
  list(APPEND faults "not a PE32 image for i386")
endif()

# The export names follow the line "[Ordinal/Name Pointer] Table", one
# "[   0] name" a line, up to the next empty line.
set(exports "")
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${at} -1 table)
  string(FIND "${table}" "\n\n" end)
  string(SUBSTRING "${table}" 0 ${end} table)
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
    list(APPEND exports "${name}")
  endforeach()
endif()
if(NOT exports STREQUAL "_mod_descrip")
  list(APPEND faults "exports [${exports}] instead of [_mod_descrip]")
endif()

# Windows compares DLL names without regard to case.
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(imports "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: " "" name "${line}")
  string(TOLOWER "${name}" name)
  list(APPEND imports "${name}")
endforeach()
list(SORT imports)
if(NOT imports STREQUAL "kernel32.dll;msvcrt.dll")
  list(APPEND faults "imports from [${imports}] instead of [kernel32.dll;msvcrt.dll]")
endif()

if(faults)
  list(JOIN faults "; " text)
  message(FATAL_ERROR "${MODULE}: ${text}")
endif()
message(STATUS "${MODULE}: PE32 i386, exports [${exports}], imports from [${imports}]")
