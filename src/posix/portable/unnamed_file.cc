// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: no unnamed files, so every pending file is created
// under a temporary name, which the fatal signals remove.
#include <cerrno>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int create_unnamed_file(int folder, mode_t mode) {
    (void)folder;
    (void)mode;
    return -1;
}

int link_unnamed_file(int fd, int folder, const char* name) {
    (void)fd;
    (void)folder;
    (void)name;
    return ENOTSUP;
}

}  // namespace unlzon::linux_extras
