// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: memory comes in the system's ordinary pages.
#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

void advise_huge_pages(void* block, std::size_t length) {
    (void)block;
    (void)length;
}

}  // namespace unlzon::linux_extras
