// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: temporary names from getrandom(GRND_NONBLOCK), which never
// waits for the kernel's random pool at early boot, where getentropy would.
#include <sys/random.h>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool random_bytes(void* dest, std::size_t count) {
    return getrandom(dest, count, GRND_NONBLOCK) == static_cast<ssize_t>(count);
}

}  // namespace unlzon::linux_extras
