# Cross-compiles for 32-bit ARM Linux, hard-float (Debian's armhf), with
# Debian's arm-linux-gnueabihf toolchain and an armhf root file system as the
# sysroot.  The root supplies the C library and its CPython's headers.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DARMHF_SYSROOT=/path/to/root ...
#
# ARMHF_SYSROOT may also come from the environment variable of the same name.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

if(NOT ARMHF_SYSROOT AND DEFINED ENV{ARMHF_SYSROOT})
  set(ARMHF_SYSROOT "$ENV{ARMHF_SYSROOT}")
endif()
if(NOT ARMHF_SYSROOT)
  message(FATAL_ERROR "armhf toolchain: set ARMHF_SYSROOT to the armhf root file system")
endif()
# try_compile projects read this file again; hand the root on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_SYSROOT)

set(ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMHF_TRIPLET}-g++)
set(CMAKE_SYSROOT "${ARMHF_SYSROOT}")

# Libraries and headers come from the root only; programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH "${ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The headers of the root's one CPython (3.11 on bookworm, 3.13 on trixie).
# When cross-compiling the project asks FindPython for the headers only, not
# for an interpreter, so the module comes out as plain keyword.so, which the
# wheel step renames to the target's suffix.
file(GLOB ARMHF_PYTHON_INCLUDE_DIRS LIST_DIRECTORIES true "${ARMHF_SYSROOT}/usr/include/python3.[0-9]*")
list(LENGTH ARMHF_PYTHON_INCLUDE_DIRS ARMHF_PYTHON_COUNT)
if(NOT ARMHF_PYTHON_COUNT EQUAL 1)
  message(FATAL_ERROR "armhf toolchain: expected one CPython include directory in the root, found: ${ARMHF_PYTHON_INCLUDE_DIRS}")
endif()
set(Python_INCLUDE_DIR "${ARMHF_PYTHON_INCLUDE_DIRS}" CACHE PATH "CPython headers of the armhf root")
