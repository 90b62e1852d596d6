// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: the folder is held with O_PATH, which needs no read permission,
// so a folder that may be searched but not listed (mode 0711) still works.
#include <fcntl.h>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int open_folder(const char* path) {
    return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace unlzon::linux_extras
