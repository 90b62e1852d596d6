// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: the image window moves its chunks' pages along the decoding
// front with mremap, so that only two chunks of the image are ever memory,
// whatever the image's size (bench/README.md).
#include <sys/mman.h>

#include <cerrno>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool can_move_pages() {
    return true;
}

int move_pages(void* from, std::size_t length, void* to) {
    return mremap(from, length, length, MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED ? errno
                                                                                       : 0;
}

}  // namespace unlzon::linux_extras
