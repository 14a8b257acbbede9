# `cpack` (scripts/package) makes two packages of what cmake/Install.cmake
# installs, in build/<preset>/packages/:
#   velorastin-<version>-linux-i386.tar.gz   unpack anywhere; bin/refhost finds lib/velorastin/
#   velorastin_<version>_i386.deb            installs under /usr
# and, from the windows preset:
#   velorastin-<version>-windows-x86.zip      pluginServer.p, refhost.exe, the README, docs, examples
set(CPACK_PACKAGE_NAME velorastin)
set(CPACK_PACKAGE_VENDOR "Velorastin")
set(CPACK_PACKAGE_CONTACT "Velorastin developers <velorastin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# One paragraph, in lines short enough for a package's control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "pluginServer.p is a 32-bit plug-in module for a 3D animation and rendering"
  "host. VelorastinShader turns gamma-encoded surface colours into linear light"
  "before lighting; VelorastinFilter encodes the finished image for display."
  "refhost, a reference host, loads any module of the same plug-in interface"
  "and lists, runs and validates its servers without the host application.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86)
  include(CPack)
  return()
endif()
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_SYSTEM_NAME linux-i386)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# What the binaries load: the module needs libc and libm only (its C++ runtime
# is linked in); refhost needs the C++ runtime too. The least versions are
# those of the newest symbol versions the Debian 12 toolchain's binaries ask
# for (GLIBC_2.35, GLIBCXX_3.4.29 from GCC 11, GCC_7.0.0); a test compares
# them with the packaged binaries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.35), libstdc++6 (>= 11), libgcc-s1 (>= 7), libjpeg62-turbo (>= 1:1.5)")
if(VELORASTIN_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # A sanitizer build is for testing only, but its package still says what it loads.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libasan8, libubsan1")
endif()

include(CPack)
