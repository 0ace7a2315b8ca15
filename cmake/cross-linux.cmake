# Toolchain for building kofa for another Linux architecture with Debian's
# cross g++ (g++-ARCH-linux-gnu), against a CPython unpacked into a root
# (tools/cross.sh), whose interpreter runs under qemu's user-mode emulation:
#
#   cmake -S . -B build/cross -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux.cmake \
#         -DKOFA_CROSS_ARCH=aarch64 -DKOFA_CROSS_ROOT="$(tools/cross.sh root aarch64)" \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW
#
# CMP0190 NEW lets FindPython take the target's interpreter (run through the
# emulator below) when cross-compiling.
set(KOFA_CROSS_ARCH "$ENV{KOFA_CROSS_ARCH}" CACHE STRING "Target architecture: aarch64 or s390x")
set(KOFA_CROSS_ROOT "$ENV{KOFA_CROSS_ROOT}" CACHE PATH "Root holding the target's CPython (tools/cross.sh root ARCH)")
if(NOT KOFA_CROSS_ARCH OR NOT IS_DIRECTORY "${KOFA_CROSS_ROOT}")
  message(FATAL_ERROR "set KOFA_CROSS_ARCH and KOFA_CROSS_ROOT (tools/cross.sh root ARCH)")
endif()
# Try-compiles see the same two settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KOFA_CROSS_ARCH KOFA_CROSS_ROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${KOFA_CROSS_ARCH}")
set(CMAKE_C_COMPILER "${KOFA_CROSS_ARCH}-linux-gnu-gcc")
set(CMAKE_CXX_COMPILER "${KOFA_CROSS_ARCH}-linux-gnu-g++")
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-${KOFA_CROSS_ARCH}-static;-L;${KOFA_CROSS_ROOT}")

# Headers and libraries of the target come from the root; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${KOFA_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
