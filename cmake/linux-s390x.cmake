# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-build for Linux on s390x, the big-endian target, with Debian's
# s390x-linux-gnu compiler and the s390x packages of liblzo2 and GoogleTest
# (scripts/setup --cross); the programs run under qemu-s390x. The whole build
# and suite: scripts/cross-test s390x
#
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/linux-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(UNLZON_GNU_TRIPLET s390x-linux-gnu)
set(UNLZON_MULTIARCH s390x-linux-gnu)
set(UNLZON_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
