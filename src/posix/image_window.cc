// SPDX-License-Identifier: GPL-2.0-or-later
// The image window on POSIX systems: the decoder runs under the fault guard
// (posix/signals.h), which also serves the window where there is one. The
// window reserves the image's address range inaccessible and keeps two chunks
// of memory at the decoding front; at the decoder's first store into the next
// chunk, the guard's handler writes the oldest chunk to the output and moves
// its pages to the front (a Linux extra: posix/linux_extras.h).
//
// Why this is sound with liblzo2's checking decoder: it writes the image
// strictly forward, reads back only bytes it has written and at most 49,151
// bytes behind its front, and calls no function. So its first touch of a chunk
// is a store at the front, and a chunk the front has left by more than a whole
// chunk is final. A fault anywhere else is not the window's, and ends the
// process as it would have without it.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "image_window.h"
#include "posix/linux_extras.h"
#include "posix/signals.h"

namespace unlzon {

namespace {

// Aligned to their size and advised to be huge pages, so that moving a chunk
// is one page-table entry and a new one one page fault (see bench/README.md).
// Any page size Linux uses divides it.
constexpr std::size_t CHUNK = image_window::CHUNK;
constexpr std::size_t LZO1X_LOOK_BACK = 49151;
static_assert(CHUNK > LZO1X_LOOK_BACK);
// The front chunk and one whole chunk behind it.
constexpr std::size_t WINDOW_CHUNKS = 2;

}  // namespace

// The image's address range, `chunks` chunks from `range`, of which the
// chunks [oldest, next) are memory, two of them from the start (or the one of
// a one-chunk image), and the rest inaccessible. Changed only by
// the fault handler while the decoder runs, and read by the rest only before
// and after.
struct image_window::pages {
    unsigned char* mapping = nullptr;  // as reserved, with room to align the range
    std::size_t mapping_length = 0;
    unsigned char* range = nullptr;  // the image's first byte, on a chunk border
    std::size_t chunks = 0;          // chunks that cover the image
    std::size_t oldest = 0;          // the oldest chunk still in memory
    std::size_t next = 0;            // the first chunk that is not (yet) memory
    unsigned char* hole = nullptr;   // a chunk no longer reserved, if re-reserving it failed
    image_window* owner = nullptr;   // the window, while its decoder runs

    unsigned char* chunk_at(std::size_t index) const { return range + index * CHUNK; }
};

static_assert(std::is_trivially_destructible_v<image_window::pages>);

// The fault handler's way into the window.
struct window_access {
    static posix::window_step follow(void* data, const void* address) noexcept;
};

namespace {

// Map fresh memory over [at, at + length), a whole number of chunks, advised
// to be huge pages. False if the mapping failed, which may have taken the
// reservation there with it.
bool map_memory(unsigned char* at, std::size_t length) noexcept {
    if (mmap(at, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
        MAP_FAILED) {
        return false;
    }
    linux_extras::advise_huge_pages(at, length);
    return true;
}

// Move the oldest chunk's pages to the front chunk. The same warm pages carry
// the whole image; the oldest chunk's range becomes inaccessible again, so a
// stray access there is still caught.
posix::window_step move_oldest_to_front(image_window::pages& window) noexcept {
    unsigned char* const oldest = window.chunk_at(window.oldest);
    if (linux_extras::move_pages(oldest, CHUNK, window.chunk_at(window.next)) != 0) {
        return posix::window_step::failed;  // nothing moved: the range is as it was
    }
    ++window.oldest;
    ++window.next;
    if (mmap(oldest, CHUNK, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
             0) == MAP_FAILED) {
        // Released around the hole, which another mapping may take.
        window.hole = oldest;
        return posix::window_step::failed;
    }
    return posix::window_step::moved;
}

}  // namespace

// Called on a SIGSEGV at `address`. A store at the front chunk, or one that
// straddles its border and is reported below it (some processors do), is the
// decoder's first touch of the next chunk: the bytes behind it are final and
// the oldest chunk, two behind it, is out of reach. Write that chunk out and
// move its pages to the front. A step that fails leaves the decoder stuck,
// which the guard turns into an outcome.
posix::window_step window_access::follow(void* data, const void* address) noexcept {
    auto& window = *static_cast<image_window::pages*>(data);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto base = reinterpret_cast<std::uintptr_t>(window.range);
    const std::uintptr_t from = base + window.oldest * CHUNK;
    const std::uintptr_t front_end = base + (window.next + 1) * CHUNK;
    if (window.next >= window.chunks || at < from || at >= front_end) {
        return posix::window_step::not_the_window;
    }
    window.owner->put(window.chunk_at(window.oldest), CHUNK);
    return move_oldest_to_front(window);
}

bool image_window::reserve() noexcept {
    if (!linux_extras::can_move_pages()) {
        return false;  // the whole image is memory
    }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (page == 0 || CHUNK % page != 0) {
        return false;
    }
    // At least one chunk, so that even an empty image has a valid address.
    const std::uint64_t chunks =
        std::max<std::uint64_t>(1, (std::uint64_t{out_size_} + CHUNK - 1) / CHUNK);
    if (chunks > SIZE_MAX / CHUNK) {
        return false;  // a 32-bit process cannot address the image
    }
    // malloc, not new: with the heap exhausted, even nothrow new throws
    // internally, and the exception may find no memory of its own.
    void* const storage = std::malloc(sizeof(pages));
    if (storage == nullptr) {
        return false;
    }
    auto* const window = new (storage) pages;
    const std::size_t length = static_cast<std::size_t>(chunks) * CHUNK;
    if (length > SIZE_MAX - CHUNK) {
        std::free(window);
        return false;
    }
    // Address space only: no memory and no swap are committed to it. One
    // chunk more, so that the range can start on a chunk border, where the
    // chunks can be huge pages.
    const std::size_t mapping_length = length + CHUNK;
    void* const mapping = mmap(nullptr, mapping_length, PROT_NONE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) {
        std::free(window);
        return false;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(mapping);
    auto* const range = static_cast<unsigned char*>(mapping) + ((CHUNK - at % CHUNK) % CHUNK);
    const std::size_t first =
        std::min<std::size_t>(WINDOW_CHUNKS, static_cast<std::size_t>(chunks));
    if (!map_memory(range, first * CHUNK)) {
        (void)munmap(mapping, mapping_length);
        std::free(window);
        return false;
    }
    // Touched now, one store a page: with huge pages, one fault a chunk.
    for (std::size_t offset = 0; offset < first * CHUNK; offset += page) {
        range[offset] = 0;
    }
    window->mapping = static_cast<unsigned char*>(mapping);
    window->mapping_length = mapping_length;
    window->range = range;
    window->chunks = static_cast<std::size_t>(chunks);
    window->next = first;
    pages_ = window;
    return true;
}

void image_window::release() noexcept {
    if (pages_ == nullptr) {
        return;
    }
    unsigned char* const start = pages_->mapping;
    unsigned char* const end = start + pages_->mapping_length;
    // Around a chunk left unreserved: another mapping may have taken it.
    unsigned char* const hole = pages_->hole != nullptr ? pages_->hole : end;
    unsigned char* const after = pages_->hole != nullptr ? hole + CHUNK : end;
    if (hole > start) {
        (void)munmap(start, static_cast<std::size_t>(hole - start));
    }
    if (after < end) {
        (void)munmap(after, static_cast<std::size_t>(end - after));
    }
    std::free(pages_);  // trivially destructible
    pages_ = nullptr;
}

decode_outcome image_window::decode(demo_decoder decoder, const unsigned char* payload,
                                    std::uint32_t in_size) {
    posix::fault_watch watch;
    // The payload may be a view of the demo's file (byte_buffer::map_file);
    // a fault on a heap buffer never comes, so watching it costs nothing.
    watch.view = payload;
    watch.view_size = in_size;
    if (pages_ != nullptr) {
        pages_->owner = this;
        watch.follow = window_access::follow;
        watch.window = pages_;
    }
    const decode_outcome outcome =
        posix::decode_guarding_faults(watch, decoder, payload, in_size, destination(), out_size_);
    if (pages_ != nullptr) {
        pages_->owner = nullptr;
    }
    return outcome;
}

unsigned char* image_window::destination() {
    return pages_ != nullptr ? pages_->range : whole_->data();
}

std::uint64_t image_window::held_from() const {
    return pages_ != nullptr ? std::uint64_t{pages_->oldest} * CHUNK : 0;
}

std::size_t image_window::resident_bytes() const {
    return pages_ != nullptr ? (pages_->next - pages_->oldest) * CHUNK : whole_->size();
}

}  // namespace unlzon
