# What `cmake --install` puts where (and so what the packages hold):
#   bin/refhost
#   lib/velorastin/pluginServer.p          the module, ready for a host's plug-in list
#   share/doc/velorastin/README.md, docs/compare.png (where the README's picture link points)
#   share/man/man1/refhost.1.gz
# The test fixtures, benchmarks and test programs are not installed.
# On Windows the tree is flat, as a zip file a user unpacks anywhere:
#   refhost.exe, pluginServer.p (beside refhost.exe, where it looks first),
#   README.md, docs/, examples/scenes/, examples/module/
set(doc_pages docs/compare.png docs/textured-compare.png docs/scene-format.md docs/checks.md docs/refhost.md
    docs/module-authors.md docs/development.md)
if(WIN32)
  install(TARGETS refhost RUNTIME DESTINATION .)
  install(TARGETS pluginServer LIBRARY DESTINATION . RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(FILES ${doc_pages} DESTINATION docs)
  install(DIRECTORY examples/scenes examples/module DESTINATION examples)
  return()
endif()

set(VELORASTIN_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/velorastin)

# refhost finds its default module beside itself in the build tree, and at
# this path from its own folder in an installed tree, whatever the prefix.
file(RELATIVE_PATH module_from_bindir ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${VELORASTIN_MODULE_INSTALL_DIR})
target_compile_definitions(refhost_cli PRIVATE REFHOST_MODULE_FROM_BINDIR="${module_from_bindir}")

install(TARGETS refhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS pluginServer LIBRARY DESTINATION ${VELORASTIN_MODULE_INSTALL_DIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The pages and pictures the README links to, the example scenes it renders
# and the example module, so that the installed README works from its own folder.
install(FILES ${doc_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY examples/scenes examples/module DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The manual page is made from refhost's own --help, so it cannot drift from it.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(manpage ${CMAKE_BINARY_DIR}/man/refhost.1.gz)
  add_custom_command(OUTPUT ${manpage}
    COMMAND ${CMAKE_COMMAND} -DREFHOST=$<TARGET_FILE:refhost> -DHELP2MAN=${HELP2MAN}
            -DINCLUDE=${CMAKE_SOURCE_DIR}/cmake/refhost.h2m -DOUTPUT=${manpage}
            -DMODULE_FROM_BINDIR=${module_from_bindir} -DDOC_FOLDER=${CMAKE_INSTALL_DOCDIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS refhost ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake ${CMAKE_SOURCE_DIR}/cmake/refhost.h2m
    COMMENT "Writing refhost's manual page"
    VERBATIM)
  add_custom_target(refhost_manpage ALL DEPENDS ${manpage})
  install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: refhost gets no manual page (scripts/setup installs help2man)")
endif()
