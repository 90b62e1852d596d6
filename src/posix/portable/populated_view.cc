// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: a view cannot be read in ahead with a prompt error
// for an unreadable page, so the payload is read by pread, as on Linux before
// 5.14.
#include <cerrno>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

int populate_view(void* base, std::size_t length) {
    (void)base;
    (void)length;
    return ENOTSUP;
}

}  // namespace unlzon::linux_extras
