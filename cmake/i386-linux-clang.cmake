# 32-bit x86 with clang, for the libFuzzer harnesses: the same target and
# flags as the g++ toolchain, with clang as the compiler.
include(${CMAKE_CURRENT_LIST_DIR}/i386-linux-gnu.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
