// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: POSIX cannot move pages within the address space,
// so the image is decoded into memory of its whole size and written after.
#include <cerrno>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool can_move_pages() {
    return false;
}

int move_pages(void* from, std::size_t length, void* to) {
    (void)from;
    (void)length;
    (void)to;
    return ENOTSUP;
}

}  // namespace unlzon::linux_extras
