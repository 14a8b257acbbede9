# The Windows zip as a user gets it: made with cpack, unpacked, and its
# refhost.exe run under Wine on the module beside it and the example scene.
#   cmake -DWINE_RUN=scripts/wine-run -DPREFIX=wine -DCONFIG=CPackConfig.cmake -DWORK=folder -P PackageZip.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${CONFIG} -B ${WORK}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
file(GLOB zip ${WORK}/velorastin-*-windows-x86.zip)
if(NOT status EQUAL 0 OR NOT zip)
  message(FATAL_ERROR "cpack made no velorastin-VERSION-windows-x86.zip:\n${output}${errors}")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${WORK}/unpacked)
file(GLOB root ${WORK}/unpacked/velorastin-*-windows-x86)
foreach(file pluginServer.p refhost.exe README.md docs/scene-format.md docs/checks.md docs/refhost.md
             docs/module-authors.md examples/module/example.cpp examples/scenes/textured.json)
  if(NOT EXISTS ${root}/${file})
    message(FATAL_ERROR "the zip has no ${file}")
  endif()
endforeach()

# The pages' links work from the unpacked folder.
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${root} -P ${CMAKE_CURRENT_LIST_DIR}/../DocLinks.cmake
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${output}${errors}")
endif()

function(run)
  execute_process(COMMAND ${WINE_RUN} ${PREFIX} ${root}/refhost.exe ${ARGN} WORKING_DIRECTORY ${root}
    OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "refhost.exe ${ARGN}: exit status ${status}\n${output}${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()
# Without --module, refhost.exe uses the pluginServer.p beside it.
run(list)
if(NOT output MATCHES "VelorastinShader" OR NOT output MATCHES "VelorastinFilter")
  message(FATAL_ERROR "refhost.exe list shows no servers:\n${output}")
endif()
run(render --scene examples\\scenes\\textured.json --width 64 --height 36 textured.png)
if(NOT EXISTS ${root}/textured.png)
  message(FATAL_ERROR "refhost.exe render wrote no textured.png")
endif()
