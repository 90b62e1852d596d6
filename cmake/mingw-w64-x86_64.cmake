# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread model)
# and run what was built under Wine:
#
#   scripts/build-lzo windows build-windows/lzo-prefix
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# liblzo2 is looked for in UNLZON_LZO_PREFIX (default: lzo-prefix in the build
# folder), through its lzo2.pc only (CMakeLists.txt). Tests and test discovery run the .exe
# files under wine64 with a Wine prefix of their own in the build folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UNLZON_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UNLZON_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UNLZON_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${UNLZON_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UNLZON_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(UNLZON_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(UNLZON_WINE)
  # Console programs need no display; WINEDEBUG=-all keeps Wine's own
  # diagnostics out of the captured output. Wine stores file names in the
  # encoding of the Unix locale, so a caller without LANG (plain ASCII) could
  # not create the tests' non-ASCII names: the runs get a UTF-8 one of their own.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
      WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= ${UNLZON_WINE})
endif()
