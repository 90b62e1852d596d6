// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "posix/linux_extras.h"

namespace unlzon {

namespace {

// Blocks from this size on are mapped straight from the kernel: they arrive
// zeroed, so nothing clears them a second time, and each 2 MiB stretch of
// them can be one huge page, one page fault where 512 were. Below a huge
// page, a block is given a whole one, for at most 2 MiB of memory: a run on
// a 1 MiB demo takes 46 page faults where small pages took 439
// (bench/README.md).
constexpr std::size_t HUGE_PAGE_SIZE = std::size_t{2} << 20;
constexpr std::size_t MAPPED_FROM = std::size_t{256} << 10;

// `length` zero bytes (a whole number of pages) starting on a huge page
// boundary, which the kernel does not promise for every length; null if the
// memory cannot be had.
unsigned char* map_zeroed(std::size_t length) {
    // MAP_ANONYMOUS: macOS and FreeBSD both have it (POSIX.1-2024 adds it).
    const std::size_t reserved = length + HUGE_PAGE_SIZE;
    void* const block =
        mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned =
        (start + HUGE_PAGE_SIZE - 1) & ~std::uintptr_t{HUGE_PAGE_SIZE - 1};
    const std::size_t head = aligned - start;
    if (head != 0) {
        (void)munmap(block, head);
    }
    if (reserved - head > length) {
        (void)munmap(reinterpret_cast<void*>(aligned + length), reserved - head - length);
    }
    auto* const data = reinterpret_cast<unsigned char*>(aligned);
    linux_extras::advise_huge_pages(data, length);
    return data;
}

}  // namespace

std::optional<byte_buffer> byte_buffer::allocate(std::size_t size) {
    if (size >= MAPPED_FROM && size <= SIZE_MAX - 2 * HUGE_PAGE_SIZE) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t length =
            size < HUGE_PAGE_SIZE ? HUGE_PAGE_SIZE : (size + page - 1) / page * page;
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
