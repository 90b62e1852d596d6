// SPDX-License-Identifier: GPL-2.0-or-later
// Memory in a browser or under node: one linear memory that grows on demand,
// with no pages to map. Every block comes from the heap.
#include "buffer.h"

#include <cstdlib>

namespace unlzon {

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    return from_heap(size);
}

void byte_buffer::give_back(unsigned char* data, std::size_t) noexcept {
    std::free(data);
}

}  // namespace unlzon
