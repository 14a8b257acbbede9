# What `cmake --install` puts where (and so what the packages hold):
#   bin/refhost
#   lib/velorastin/pluginServer.p          the module, ready for a host's plug-in list
#   share/doc/velorastin/README.md, docs/compare.png (where the README's picture link points)
#   share/man/man1/refhost.1.gz
# The test fixtures, benchmarks and test programs are not installed.
set(VELORASTIN_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/velorastin)

# refhost finds its default module beside itself in the build tree, and at
# this path from its own folder in an installed tree, whatever the prefix.
file(RELATIVE_PATH module_from_bindir ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${VELORASTIN_MODULE_INSTALL_DIR})
target_compile_definitions(refhost_cli PRIVATE REFHOST_MODULE_FROM_BINDIR="${module_from_bindir}")
target_compile_definitions(refhost PRIVATE REFHOST_VERSION="${PROJECT_VERSION}")
