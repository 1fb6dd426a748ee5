# SPDX-License-Identifier: Apache-2.0
# Cross-building for arm64 on an x86-64 Debian (scripts/test_arm64.sh):
# Debian's cross compiler (g++-aarch64-linux-gnu) and the arm64 -dev packages
# installed beside the build machine's own (multiarch: libpng-dev:arm64, ...).
# What it builds runs under qemu-user's qemu-aarch64, which CTest and
# GoogleTest's test discovery call for every test program.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The arm64 loader and libraries are where multiarch puts them
# (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu), so qemu needs no
# root of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# pkg-config reads the arm64 packages' .pc files, and those of no
# architecture, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
