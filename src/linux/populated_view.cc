// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra (5.14 and later): the payload is a view of the file's cached
// pages, read in by one call (MADV_POPULATE_READ) rather than read into fresh
// memory by pread: faster at every size, most of all cold (bench/README.md).
#include <sys/mman.h>

#include <cerrno>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int populate_view(void* base, std::size_t length) {
    // Unlike MAP_POPULATE, which retries an unreadable page for ever, this
    // fails at once (EFAULT) when a page cannot be read; a kernel before
    // 5.14 refuses it (EINVAL).
    while (madvise(base, length, MADV_POPULATE_READ) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

}  // namespace unlzon::linux_extras
