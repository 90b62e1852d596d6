# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-build for 64-bit ARM Linux with Debian's aarch64-linux-gnu compiler
# and the arm64 packages of liblzo2 and GoogleTest (scripts/setup --cross);
# the programs run under qemu-aarch64. The whole build and suite:
# scripts/cross-test arm64
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(UNLZON_GNU_TRIPLET aarch64-linux-gnu)
set(UNLZON_MULTIARCH aarch64-linux-gnu)
set(UNLZON_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
