# refhost.exe's verdict on one fixture, as the Linux tests expect it (their
# table): for a planted fault (a PlantedFault entry) the status and check that
# name it; for a correct module of another design (a CorrectModule entry) a run
# of every check that passes, with --strict unless a warning is the point.
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
string(REGEX MATCH "(PlantedFault|CorrectModule){\"${NAME}\"[^}]*}" entry "${table}")
if(NOT entry)
  message(FATAL_ERROR "no PlantedFault or CorrectModule entry for ${NAME} in ${TABLE}")
endif()
set(kind "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\"[^\"]*\"" fields "${entry}")
list(TRANSFORM fields REPLACE "^\"(.*)\"$" "\\1")
list(TRANSFORM fields REPLACE "<q>" "\"")
list(LENGTH fields count)
set(status "")
set(check "")
set(detail "")
if(kind STREQUAL "CorrectModule")
  set(expected_exit 0)
  # Every check, each given time enough for Wine on a busy machine: a time
  # limit is not what these runs are about.
  set(only --timeout 120)
  if(count GREATER 1)
    set(status WARN)
    list(GET fields 1 check)
    list(GET fields 2 detail)
  endif()
else()
  set(expected_exit 1)
  list(GET fields 1 status)
  list(GET fields 2 check)
  set(only --only ${check})
  if(count GREATER 3)
    list(GET fields 3 detail)
  endif()
  # The status on Windows, where it differs.
  if(count GREATER 4)
    list(GET fields 4 windows_status)
    if(windows_status)
      set(status "${windows_status}")
    endif()
  endif()
endif()
# A fault is an access violation here, not a signal.
string(REPLACE "SIGSEGV (Segmentation fault)" "exception 0xC0000005 (access violation)" detail "${detail}")

# A warning fails the run only with --strict: a planted one is flagged with it,
# a correct module passes with it unless its warning is the point.
set(strict "")
if((expected_exit EQUAL 1 AND status STREQUAL "WARN") OR (expected_exit EQUAL 0 AND NOT status))
  set(strict "--strict")
endif()

# Windows paths for the program: Wine's drive Z: is the root of the file system.
execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} check Z:${FIXTURE} ${only} ${strict}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE exit_status)
string(REPLACE "\r\n" "\n" output "${output}")
if(NOT exit_status EQUAL expected_exit)
  message(FATAL_ERROR "${NAME}: exit status ${exit_status}, expected ${expected_exit}\n${output}${errors}")
endif()
if(NOT status)
  message(STATUS "${NAME}: every check passed")
  return()
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
# The parts of the detail between its stars, in order.
string(REPLACE ";" "<semicolon>" rest "${found}")
string(REPLACE ";" "<semicolon>" parts "${detail}")
string(REPLACE "*" ";" parts "${parts}")
foreach(part IN LISTS parts)
  string(FIND "${rest}" "${part}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${NAME}: '${found}' does not say '${detail}'")
  endif()
  string(LENGTH "${part}" length)
  math(EXPR at "${at} + ${length}")
  string(SUBSTRING "${rest}" ${at} -1 rest)
endforeach()
message(STATUS "${found}")
