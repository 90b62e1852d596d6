// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
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
            return byte_buffer(block, length, block, size);
        }
    }
    return from_heap(size);
}

std::optional<byte_buffer> byte_buffer::map_file(const native_file& file, std::uint64_t offset,
                                                 std::size_t size, bool& unreadable) {
    unreadable = false;
    // Mappings start on a page; the view starts `skip` bytes into the first.
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t skip = offset % page;
    if (size == 0 || size > SIZE_MAX - skip || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    const std::size_t length = size + static_cast<std::size_t>(skip);
    void* const view = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, static_cast<int>(file.get()),
                            static_cast<off_t>(offset - skip));
    if (view == MAP_FAILED) {
        return std::nullopt;
    }
    auto* const base = static_cast<unsigned char*>(view);
    byte_buffer buffer(base, length, base + skip, size);
    // Read in ahead in one call rather than one fault per page during the
    // decoding, where a page the disk cannot deliver would end the run with
    // SIGBUS. Where that call cannot be had, the payload is read by pread.
    const int error = linux_extras::populate_view(base, length);
    if (error != 0) {
        unreadable = error == EFAULT;
        return std::nullopt;
    }
    return buffer;
}

void byte_buffer::give_back(unsigned char* base, std::size_t mapped) noexcept {
    if (mapped != 0) {
        (void)munmap(base, mapped);
    } else {
        std::free(base);
    }
}

}  // namespace unlzon
