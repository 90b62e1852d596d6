// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: an append-only folder (chattr +a) is recognised before anything
// is written there, so that no pending file is left in it for good.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "native_file.h"
#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool is_append_only(int folder) {
    // The held folder may be an O_PATH descriptor, which takes no ioctl.
    const native_file readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    return readable.is_open() &&
           ioctl(static_cast<int>(readable.get()), FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & FS_APPEND_FL) != 0;
}

}  // namespace unlzon::linux_extras
