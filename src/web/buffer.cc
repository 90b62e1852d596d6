// SPDX-License-Identifier: GPL-2.0-or-later
// Memory in a browser or under node: one linear memory that grows on demand,
// with no pages to map. Every block comes from the heap, and the payload is
// read into one rather than viewed: emscripten's mmap of a file copies it
// into the heap anyway, and a view would be read a second time by pread.
#include "buffer.h"

#include <cstdlib>

namespace unlzon {

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    return from_heap(size);
}

std::optional<byte_buffer> byte_buffer::map_file(const native_file&, std::uint64_t, std::size_t,
                                                 bool& unreadable) {
    unreadable = false;
    return std::nullopt;
}

void byte_buffer::give_back(unsigned char* base, std::size_t) noexcept {
    std::free(base);
}

}  // namespace unlzon
