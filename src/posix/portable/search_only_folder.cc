// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: the folder is held open for reading, which is what
// POSIX.1-2008's openat() and friends take; a folder the user may search but
// not list cannot be held, and its demos are refused ("Could not open input file").
#include <fcntl.h>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int open_folder(const char* path) {
    return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace unlzon::linux_extras
