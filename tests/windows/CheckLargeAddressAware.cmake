# Checks that a program's PE header marks it large-address-aware, so that
# 64-bit Windows gives the 32-bit process 4 GB of address space, not 2 GB.
#   cmake -DOBJDUMP=i686-w64-mingw32-objdump -DPROGRAM=refhost.exe -P CheckLargeAddressAware.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
  OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${status}): ${errors}")
endif()
# "Characteristics 0x..." and then one line per flag set, up to an empty line.
string(REGEX MATCH "Characteristics 0x[0-9a-fA-F]+\n([^\n]+\n)*" characteristics "${dump}")
if(NOT characteristics)
  message(FATAL_ERROR "${PROGRAM}: no Characteristics in the PE header\n${dump}")
endif()
if(NOT characteristics MATCHES "large address aware")
  message(FATAL_ERROR "${PROGRAM}: not large-address-aware:\n${characteristics}")
endif()
message(STATUS "${PROGRAM}: large-address-aware")
