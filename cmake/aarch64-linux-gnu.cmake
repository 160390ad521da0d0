# SPDX-License-Identifier: MIT
# Cross-compiles for arm64 with Debian's cross compiler (g++-aarch64-linux-gnu).
# The programs it builds run under qemu-user, which CTest, and the test
# binaries' discovery at build time, use as the emulator: qemu-aarch64 with
# the cross toolchain's libraries (libc6-arm64-cross) as the root of the
# arm64 loader and libraries, so that the host needs no arm64 packages.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Libraries and packages are looked for only under /usr/aarch64-linux-gnu and
# under roots added with -DCMAKE_FIND_ROOT_PATH=... (a GoogleTest built with
# this file, for instance). Headers may also come from the build machine:
# the only ones this project looks for, Boost's, are the same for every
# architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

list(APPEND CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
