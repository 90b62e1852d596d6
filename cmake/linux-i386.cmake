# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-build for 32-bit x86 Linux with Debian's i686-linux-gnu compiler and
# the i386 packages of liblzo2 and GoogleTest (scripts/setup --cross). An
# x86-64 kernel runs the programs natively. The whole build and suite:
# scripts/cross-test i386
#
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(UNLZON_GNU_TRIPLET i686-linux-gnu)
set(UNLZON_MULTIARCH i386-linux-gnu)
set(UNLZON_QEMU "")
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
