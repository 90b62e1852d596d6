// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "posix/linux_extras.h"

namespace unlzon {

namespace {

// Blocks from this size on are mapped straight from the kernel: they arrive
// zeroed, so nothing clears them a second time, and they can be backed by
// huge pages, which cuts the page faults of a large image by a factor of 512.
constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20;

unsigned char* map_zeroed(std::size_t length) {
    // MAP_ANONYMOUS: macOS and FreeBSD both have it (POSIX.1-2024 adds it).
    void* const block =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    linux_extras::advise_huge_pages(block, length);
    return static_cast<unsigned char*>(block);
}

}  // namespace

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    if (size >= HUGE_PAGE_SIZE && size <= SIZE_MAX - HUGE_PAGE_SIZE) {
        // A whole number of huge pages lets the kernel align the mapping to them.
        const std::size_t length = (size + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE * HUGE_PAGE_SIZE;
        if (unsigned char* const block = map_zeroed(length)) {
            return byte_buffer(block, length, size);
        }
    }
    return from_heap(size);
}

void byte_buffer::give_back(unsigned char* data, std::size_t mapped) noexcept {
    if (mapped != 0) {
        (void)munmap(data, mapped);
    } else {
        std::free(data);
    }
}

}  // namespace unlzon
