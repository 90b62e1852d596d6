# SPDX-License-Identifier: GPL-2.0-or-later
# The shared half of the Linux cross toolchain files linux-i386.cmake,
# linux-s390x.cmake and linux-arm64.cmake, which set the variables used here.
# Debian's cross compiler for UNLZON_GNU_TRIPLET builds against the target's
# own liblzo2 and GoogleTest, installed through multiarch in
# /usr/lib/UNLZON_MULTIARCH (scripts/setup --cross). Its C library is the
# multiarch one too, found by the compiler itself: adding the cross package's
# /usr/TRIPLET, by -L or QEMU_LD_PREFIX, mixes two builds of the C library.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${UNLZON_GNU_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UNLZON_GNU_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${UNLZON_MULTIARCH})

# The target's packages share /usr with the host's: only the target's
# libraries, CMake packages and lzo2.pc may be found.
set(CMAKE_SYSTEM_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${UNLZON_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Where the host cannot run the target's programs, test discovery and the
# test programs go through qemu-user. The programs the tests start with
# execv need qemu registered with binfmt_misc as well (scripts/cross-test).
if(UNLZON_QEMU)
  find_program(UNLZON_QEMU_PROGRAM NAMES ${UNLZON_QEMU}-static ${UNLZON_QEMU})
  if(UNLZON_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UNLZON_QEMU_PROGRAM})
  endif()
endif()
