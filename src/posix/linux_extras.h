// SPDX-License-Identifier: GPL-2.0-or-later
// What only Linux offers beyond POSIX, one function per extra, for the
// portable code in this folder to call. The build takes each from
// src/linux/NAME.cc where UNLZON_LINUX_EXTRAS is on and a configure-time
// check finds the extra's symbols, and otherwise from src/posix/portable/NAME.cc,
// which declines or takes the portable way (see CMakeLists.txt).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace unlzon::linux_extras {

// unnamed_file: SIGKILL or the OOM killer leave nothing behind, where a
// named pending file (.unlzon-XXXXXXXXXXXX) stays in the folder.

/// A new, unnamed regular file in `folder`, open for writing, with `mode`;
/// -1 where the system or the file system has none, or could not name it later.
int create_unnamed_file(int folder, mode_t mode);

/// Give the unnamed file `fd` the new name `name` in `folder`, which must be
/// free; 0, or the errno (EEXIST: the name is taken).
int link_unnamed_file(int fd, int folder, const char* name);

// append_only: in a folder that lets no name be removed (chattr +a), a run
// refuses before writing rather than leave a pending file there for good.

/// True when `folder` is known to let names be added but never removed or
/// renamed over; false where it cannot be asked.
bool is_append_only(int folder);

// search_only_folder: a folder that may be searched but not listed (mode
// 0711) can still be held, and so its demos unpacked.

/// Open the folder at `path` to work in with openat() and friends, held
/// across renames of its path; -1 with errno as open() leaves it.
int open_folder(const char* path);

// huge_pages: the payload and the image come in 2 MiB pages: one page fault
// where 512 were.

/// Advise that the anonymous block at `block` (`length` bytes) be backed by
/// huge pages; only advice, ignored where it cannot be followed.
void advise_huge_pages(void* block, std::size_t length);

// nonblocking_random: a temporary name never waits for the kernel's random
// pool, which at early boot can take a while to be ready.

/// Fill `dest` with `count` (at most 256) unpredictable bytes without
/// waiting; false if none can be had now.
bool random_bytes(void* dest, std::size_t count);

}  // namespace unlzon::linux_extras
