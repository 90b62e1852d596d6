// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffer.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>

namespace unlzon {

namespace {

// Blocks from this size on come straight from the system: they arrive zeroed,
// so nothing clears them a second time.
constexpr std::size_t LARGE_BLOCK = std::size_t{2} << 20;

}  // namespace

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    if (size >= LARGE_BLOCK) {
        if (void* const block =
                VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {
            return byte_buffer(static_cast<unsigned char*>(block), size, size);
        }
    }
    return from_heap(size);
}

void byte_buffer::give_back(unsigned char* data, std::size_t mapped) noexcept {
    if (mapped != 0) {
        (void)VirtualFree(data, 0, MEM_RELEASE);
    } else {
        std::free(data);
    }
}

}  // namespace unlzon
