// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: getentropy, which macOS (10.12) and FreeBSD (12)
// both have, as does glibc from 2.25; POSIX.1-2024 adds it.
// <sys/random.h> uses size_t without including what declares it on some
// systems (emscripten's).
#include <cstddef>

#include <sys/random.h>  // macOS declares getentropy here, the others in unistd.h too
#include <unistd.h>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool random_bytes(void* dest, std::size_t count) {
    return getentropy(dest, count) == 0;
}

}  // namespace unlzon::linux_extras
