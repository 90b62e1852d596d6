// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: the pending file is unnamed (O_TMPFILE) until it is complete,
// so that SIGKILL or the OOM killer leave nothing behind.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int create_unnamed_file(int folder, mode_t mode) {
    // Naming the file later needs /proc (see below): without it (an empty
    // /proc in a container) the file could be written but never named.
    if (access("/proc/self/fd", X_OK) != 0) {
        return -1;
    }
    return openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

int link_unnamed_file(int fd, int folder, const char* name) {
    // Linking through /proc works for any user, unlike linkat's AT_EMPTY_PATH.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

}  // namespace unlzon::linux_extras
