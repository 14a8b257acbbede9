# refhost.exe's commands on the module, under Wine.
#   cmake -DWINE_RUN=scripts/wine-run -DPREFIX=wine -DREFHOST=refhost.exe -DMODULE=pluginServer.p
#         -DWORK=folder [-DENCODED=windows_encoded_chart.exe] [-DHANGS=process_hangs.p] -DCASE=check|filter|render|timeout|jpeg|elf -P RefhostRuns.cmake
cmake_minimum_required(VERSION 3.25)

# Runs refhost.exe (paths given in Windows form: Wine's drive Z: is the root)
# and fails the test unless it ends with status 0.
function(refhost)
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} ${ARGN}
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  string(REPLACE "\r\n" "\n" output "${output}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "refhost.exe ${ARGN}: exit status ${status}\n${output}${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
if(CASE STREQUAL "check")
  # Every check passes, none with a warning.
  refhost(check --strict Z:${MODULE})
  if(output MATCHES "(^|\n)(WARN|FAIL|CRASH|TIMEOUT) ")
    message(FATAL_ERROR "a check did not pass:\n${output}")
  endif()
  message(STATUS "${output}")
elseif(CASE STREQUAL "filter")
  # The chart filtered: every byte display-encoded as the table says.
  refhost(chart Z:${WORK}/chart.png)
  refhost(filter --module Z:${MODULE} Z:${WORK}/chart.png Z:${WORK}/encoded.png)
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${ENCODED} Z:${WORK}/chart.png Z:${WORK}/encoded.png
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${output}${errors}")
  endif()
elseif(CASE STREQUAL "render")
  refhost(render --module Z:${MODULE} --width 64 --height 48 --compare Z:${WORK}/compare.png)
  file(READ ${WORK}/compare.png head LIMIT 8 HEX)
  if(NOT head STREQUAL "89504e470d0a1a0a")
    message(FATAL_ERROR "compare.png is not a PNG file (it starts ${head})")
  endif()
elseif(CASE STREQUAL "timeout")
  # A check that hangs is ended at its time limit, its stage still known, and the next one runs.
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} check Z:${HANGS} --only filter/process/ --only filter/abort/
                          --timeout 1
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  string(REPLACE "\r\n" "\n" output "${output}")
  foreach(check process abort)
    if(NOT output MATCHES "\nTIMEOUT  filter/${check}/TinyFilter: no end within 1 s \\(during: [^\n]+\\)\n")
      message(FATAL_ERROR "filter/${check} did not time out (exit status ${status}):\n${output}${errors}")
    endif()
  endforeach()
  if(NOT status EQUAL 1 OR NOT output MATCHES "\n0 passed, 2 failed\n$")
    message(FATAL_ERROR "exit status ${status}:\n${output}${errors}")
  endif()
elseif(CASE STREQUAL "jpeg")
  # This build reads no JPEG, and says so rather than calling the file damaged.
  string(ASCII 255 216 255 224 marker)
  file(WRITE ${WORK}/photo.jpg "${marker}JFIF")
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} filter --module Z:${MODULE} Z:${WORK}/photo.jpg Z:${WORK}/out.png
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 1 OR NOT errors MATCHES "photo.jpg: a JPEG file, which this build of refhost cannot read")
    message(FATAL_ERROR "exit status ${status}:\n${output}${errors}")
  endif()
elseif(CASE STREQUAL "elf")
  # A Linux shared object is named as one, not left to the loader's message.
  string(ASCII 127 delete)
  file(WRITE ${WORK}/linux.p "${delete}ELF, and then not much of a shared object")
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${REFHOST} list Z:${WORK}/linux.p
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(status EQUAL 0 OR NOT errors MATCHES "linux.p: is a Linux shared object; load it with the Linux refhost")
    message(FATAL_ERROR "exit status ${status}:\n${output}${errors}")
  endif()
else()
  message(FATAL_ERROR "unknown CASE ${CASE}")
endif()
