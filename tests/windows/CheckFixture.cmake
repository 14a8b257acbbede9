# refhost.exe's verdict on one planted-fault fixture: the status and check that
# the Linux tests expect of it, read from their table (PlantedFault entries).
#   cmake -DWINE_RUN=scripts/wine-run -DPREFIX=wine -DREFHOST=refhost.exe -DTABLE=CheckTest.cpp
#         -DFIXTURE=fixtures/name.p -DNAME=name -P CheckFixture.cmake
cmake_minimum_required(VERSION 3.25)
file(READ ${TABLE} table)
# An escaped quote inside a literal is held as <q> until the fields are apart.
string(REPLACE "\\\"" "<q>" table "${table}")
# An escaped backslash is one backslash.
string(REPLACE "\\\\" "\\" table "${table}")
# Adjacent string literals are one string.
string(REGEX REPLACE "\"[ \t\r\n]+\"" "" table "${table}")
string(REGEX MATCH "PlantedFault{\"${NAME}\"[^}]*}" entry "${table}")
if(NOT entry)
  message(FATAL_ERROR "no PlantedFault entry for ${NAME} in ${TABLE}")
endif()
string(REGEX MATCHALL "\"[^\"]*\"" fields "${entry}")
list(TRANSFORM fields REPLACE "^\"(.*)\"$" "\\1")
list(TRANSFORM fields REPLACE "<q>" "\"")
list(GET fields 1 status)
list(GET fields 2 check)
set(detail "")
list(LENGTH fields count)
if(count GREATER 3)
  list(GET fields 3 detail)
endif()
# A fault is an access violation here, not a signal.
string(REPLACE "SIGSEGV (Segmentation fault)" "exception 0xC0000005 (access violation)" detail "${detail}")

# A warning fails the run only with --strict.
set(strict "")
if(status STREQUAL "WARN")
  set(strict "--strict")
endif()

# Windows paths for the program: Wine's drive Z: is the root of the file system.
execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} check Z:${FIXTURE} --only ${check} ${strict}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE exit_status)
string(REPLACE "\r\n" "\n" output "${output}")
if(NOT exit_status EQUAL 1)
  message(FATAL_ERROR "${NAME}: exit status ${exit_status}, expected 1\n${output}${errors}")
endif()
string(LENGTH "${status}" width)
set(padded "${status}")
while(width LESS 8)
  string(APPEND padded " ")
  math(EXPR width "${width} + 1")
endwhile()
string(REPLACE "\n" ";" lines "${output}")
set(found "")
foreach(line IN LISTS lines)
  string(FIND "${line}" "${padded} ${check}" at)
  if(at EQUAL 0)
    set(found "${line}")
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "${NAME}: no line '${status} ${check}'\n${output}${errors}")
endif()
string(FIND "${found}" "${detail}" at)
if(at LESS 0)
  message(FATAL_ERROR "${NAME}: '${found}' does not say '${detail}'")
endif()
message(STATUS "${found}")
