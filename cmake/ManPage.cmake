# Writes refhost's manual page (run with cmake -P): help2man reads
# `refhost --help` and `--version`; INCLUDE adds the sections --help has no
# room for, and a COMMANDS section is made of each command's own --help.
# Takes REFHOST, HELP2MAN, INCLUDE (with @MODULE_FROM_BINDIR@ and @DOC_FOLDER@
# to fill in) and OUTPUT (the .1.gz to write).
function(refhost_help out)
  execute_process(COMMAND ${REFHOST} ${ARGN} --help
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "'${REFHOST} ${ARGN} --help' failed (${status}): ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text as roff that is shown as it is: backslashes escaped, and no line that
# starts with a control character.
function(roff_verbatim out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

refhost_help(top)
# The commands are the names listed under "Subcommands:".
string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${top}")
string(REGEX REPLACE "\n\n.*" "" listing "${listing}")
string(REGEX MATCHALL "(^|\n)  [a-z]+" names "${listing}")
if(NOT names)
  message(FATAL_ERROR "no commands found in '${REFHOST} --help'")
endif()

file(READ ${INCLUDE} sections)
string(CONFIGURE "${sections}" sections @ONLY)
string(APPEND sections "\n[COMMANDS]\n")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  refhost_help(help ${name})
  # The shared footer is printed once, by the top-level help.
  string(REGEX REPLACE "\nRun 'refhost COMMAND --help'.*" "\n" help "${help}")
  roff_verbatim(help "${help}")
  string(APPEND sections ".SS ${name}\n${help}")
endforeach()

get_filename_component(folder ${OUTPUT} DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
file(MAKE_DIRECTORY ${folder})
file(WRITE ${folder}/refhost.h2m "${sections}")
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --include=${folder}/refhost.h2m
                        "--name=a reference host for plug-in modules" --output=${page} ${REFHOST}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed (${status}) on ${REFHOST}")
endif()
# -n: no name or time stamp inside, so the same page gives the same bytes.
execute_process(COMMAND gzip -9 -n -f ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed (${status}) on ${page}")
endif()
