// SPDX-License-Identifier: GPL-2.0-or-later
// Linux extra: the payload and the image are backed by transparent huge pages
// (MADV_HUGEPAGE): one page fault where 512 were (bench/README.md).
#include <sys/mman.h>

#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

void advise_huge_pages(void* block, std::size_t length) {
    // Only advice: a kernel without transparent huge pages refuses it.
    (void)madvise(block, length, MADV_HUGEPAGE);
}

}  // namespace unlzon::linux_extras
