// SPDX-License-Identifier: GPL-2.0-or-later
// The image window on POSIX systems: the decoder runs under the fault guard
// (posix/signals.h), which also serves the window where there is one. The
// window reserves the image's address range inaccessible and keeps two chunks
// of memory at the decoding front; at the decoder's first store into the next
// chunk, the guard's handler writes the oldest chunk to the output and moves
// its pages to the front (a Linux extra: posix/linux_extras.h).
//
// For a large image a writer thread writes instead, so that writing overlaps
// decoding: at each new chunk the handler hands it the bytes now final through
// a pipe (a write of one byte: async-signal-safe, no lock), the writer writes
// them in order and publishes how far it has written (a lock-free atomic,
// then a wake-up byte at each whole chunk), and the handler moves a written
// chunk's pages to the front, maps fresh ones while the writer is behind (up
// to RING chunks in all), and waits for the writer only when RING chunks are
// memory and none is written. The thread is created with every signal
// blocked, so that every signal still reaches the decoding thread, whose
// handlers remove the pending file; after the decoder returns (or is left by
// the guard's jump), the thread is stopped and joined before anything else
// touches the sink. Where no thread can be had, the handler writes as above.
//
// Why this is sound with liblzo2's checking decoder: it writes the image
// strictly forward, reads back only bytes it has written and at most 49,151
// bytes behind its front, and calls no function. So its first touch of a chunk
// is a store at the front, and a chunk the front has left by more than a whole
// chunk is final. A fault anywhere else is not the window's, and ends the
// process as it would have without it.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "decompress.h"
#include "image_window.h"
#include "posix/linux_extras.h"
#include "posix/signals.h"

namespace unlzon {

namespace {

// Chunks of 2 MiB, aligned to 2 MiB and advised to be huge pages: moving one
// is then one page-table entry where 512 were, and a new one one page fault.
// Measured with the benchmark (medians of per-round ratios to lzop -d, warm,
// new names, 7 rounds) on a 2-core AMD EPYC VM, where each moved or new 4 KiB
// page costs microseconds: 0.91 / 0.85 / 0.72 / 0.87 at 1 / 4 / 16 / 256 MiB,
// against 1.18 / 1.60 / 2.06 at 1 / 4 / 16 MiB with 256 KiB chunks of small
// pages. Any page size Linux uses divides it, and it is far more than the
// 49,151 bytes the decoder may read back.
constexpr std::size_t CHUNK = std::size_t{2} << 20;
constexpr std::size_t LZO1X_LOOK_BACK = 49151;
static_assert(CHUNK > LZO1X_LOOK_BACK);
// The front chunk and one whole chunk behind it.
constexpr std::size_t WINDOW_CHUNKS = 2;
// image_window::WRITER_THREAD_FROM, 8 MiB: below it the thread costs more
// than it saves (there is at most one chunk to overlap). Static builds with
// and without the thread, per-round ratios to lzop -d timed in the same
// shuffled rounds (40 to 60; 8 at 256 MiB) on the 2-core AMD VM: 0.85 with
// against 0.81 without at 4 MiB, 0.74 and 0.74 at 8 MiB, 0.87 against 0.91
// at 16 MiB, 0.93 against 0.98 at 256 MiB.
//
// The most chunks that are memory while a writer thread runs: the two the
// decoder needs and those waiting to be written.
constexpr std::size_t RING = 4;
static_assert(RING > WINDOW_CHUNKS);
// The decoder stores strictly forward from its output pointer, a word or a
// vector at a time, and never again below it: when it first touches a chunk,
// every byte more than one store below the chunk's border is final. With a
// page of margin, the writer thread may write up to there.
constexpr std::size_t SETTLING = 4096;
static_assert(CHUNK > SETTLING);

}  // namespace

// The writer thread's side of the window: what the fault handler and the
// writer hand each other. The image's bytes are handed over and written in
// order.
struct chunk_writer {
    int sink = -1;
    int to_writer[2] = {-1, -1};          // a byte: more bytes are posted, or stop
    int to_front[2] = {-1, -1};           // a byte: another chunk is written
    std::atomic<std::size_t> posted{0};   // bytes [0, posted) of the image are final
    std::atomic<std::size_t> written{0};  // bytes [0, written) are written (or skipped)
    std::atomic<bool> stopping{false};    // nothing more will be posted
    std::atomic<int> error{0};            // the first write error, 0 if none
    pthread_t thread{};
    bool running = false;
};

static_assert(std::atomic<std::size_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::is_trivially_destructible_v<chunk_writer>);

// The image's address range, `chunks` chunks from `range`, of which the
// chunks [oldest, next) are memory and the rest inaccessible. Changed only by
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
    chunk_writer writer;             // the writer thread, where one runs

    unsigned char* chunk_at(std::size_t index) const { return range + index * CHUNK; }
};

static_assert(std::is_trivially_destructible_v<image_window::pages>);

// The fault handler's and the writer thread's way into the window.
struct window_access {
    static posix::window_step follow(void* data, const void* address) noexcept;
    static void decode(void* data) noexcept;
    static void* write_chunks(void* data) noexcept;
    static void start_writer(image_window& window) noexcept;
    static void stop_writer(image_window& window) noexcept;
};

namespace {

// What the guarded decoder call takes and gives.
struct decoder_call {
    const unsigned char* payload;
    std::uint32_t in_size;
    unsigned char* image;
    std::uint32_t out_size;
    decode_result result;
};

// Tell the other side that there is news. The pipe's write end does not
// block: a byte still unread already wakes the reader. Async-signal-safe.
bool ring(int fd) noexcept {
    const char byte = 0;
    ssize_t put = 0;
    do {
        put = write(fd, &byte, 1);
    } while (put < 0 && errno == EINTR);
    return put == 1 || (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

// Wait for news from the other side, taking every byte that came meanwhile.
// False at the end of the pipe or an error. Async-signal-safe.
bool wait_for(int fd) noexcept {
    char bytes[64];
    ssize_t got = 0;
    do {
        got = read(fd, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
    return got > 0;
}

void close_if_open(int& fd) noexcept {
    if (fd >= 0) {
        (void)close(fd);
        fd = -1;
    }
}

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

// Give the front chunk pages of its own.
posix::window_step map_fresh_front(image_window::pages& window) noexcept {
    unsigned char* const front = window.chunk_at(window.next);
    if (!map_memory(front, CHUNK)) {
        window.hole = front;
        return posix::window_step::failed;
    }
    ++window.next;
    return posix::window_step::moved;
}

}  // namespace

void window_access::decode(void* data) noexcept {
    auto& call = *static_cast<decoder_call*>(data);
    call.result = decode_demo_payload(call.payload, call.in_size, call.image, call.out_size);
}

// Called on a SIGSEGV at `address`. A store at the front chunk, or one that
// straddles its border and is reported below it (some processors do), is the
// decoder's first touch of the next chunk: the bytes behind it are final and
// the chunk two behind it is out of reach. Write that chunk out and move its
// pages to the front, or hand the final bytes to the writer thread and give
// the front fresh pages, or the oldest chunk's once the writer has written
// it. The result of every call is checked: a step that fails leaves the
// decoder stuck, which the guard turns into an error.
posix::window_step window_access::follow(void* data, const void* address) noexcept {
    auto& window = *static_cast<image_window::pages*>(data);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto base = reinterpret_cast<std::uintptr_t>(window.range);
    const std::uintptr_t from = base + window.oldest * CHUNK;
    const std::uintptr_t front_end = base + (window.next + 1) * CHUNK;
    if (window.next >= window.chunks || at < from || at >= front_end) {
        return posix::window_step::not_the_window;
    }
    // The oldest chunk is final only if the front has left it by a whole chunk.
    const bool oldest_final = window.next - window.oldest >= WINDOW_CHUNKS;
    chunk_writer& writer = window.writer;
    if (!writer.running) {
        if (!oldest_final) {
            return map_fresh_front(window);
        }
        window.owner->put(window.chunk_at(window.oldest), CHUNK);
        return move_oldest_to_front(window);
    }
    writer.posted.store(window.next * CHUNK - SETTLING, std::memory_order_release);
    if (!ring(writer.to_writer[1])) {
        return posix::window_step::failed;
    }
    // Chunks [0, released) are written.
    std::size_t released = writer.written.load(std::memory_order_acquire) / CHUNK;
    if (!oldest_final || (released <= window.oldest && window.next - window.oldest < RING)) {
        return map_fresh_front(window);  // the writer is behind: let the decoder run on
    }
    while (released <= window.oldest) {
        // The writer closes its end only when it can no longer write.
        if (!wait_for(writer.to_front[0])) {
            return posix::window_step::failed;
        }
        released = writer.written.load(std::memory_order_acquire) / CHUNK;
    }
    return move_oldest_to_front(window);
}

// The writer thread: write the posted bytes in order, each chunk's apart,
// until stopped. After a write error it writes nothing more but still
// releases the chunks, so that the decoding goes on.
void* window_access::write_chunks(void* data) noexcept {
    auto& window = *static_cast<image_window::pages*>(data);
    chunk_writer& writer = window.writer;
    std::size_t done = 0;
    for (;;) {
        const bool stopping = writer.stopping.load(std::memory_order_acquire);
        const std::size_t posted = writer.posted.load(std::memory_order_acquire);
        while (done < posted) {
            const std::size_t end = std::min(posted, (done / CHUNK + 1) * CHUNK);
            if (writer.error.load(std::memory_order_relaxed) == 0) {
                const int error = write_all(writer.sink, window.range + done, end - done);
                writer.error.store(error, std::memory_order_relaxed);
            }
            done = end;
            writer.written.store(done, std::memory_order_release);
            if (done % CHUNK == 0 && !ring(writer.to_front[1])) {
                break;
            }
        }
        if (stopping) {
            return nullptr;
        }
        // The end of the pipe without a stop cannot come from this program;
        // either way the handler must not wait for this thread any longer,
        // so its wake-up pipe ends here too.
        if ((done < posted || !wait_for(writer.to_writer[0])) &&
            !writer.stopping.load(std::memory_order_acquire)) {
            close_if_open(writer.to_front[1]);
            return nullptr;
        }
    }
}

// Start the writer thread for a window with a sink; where none can be had,
// the fault handler writes instead.
void window_access::start_writer(image_window& window) noexcept {
    chunk_writer& writer = window.pages_->writer;
    writer.sink = static_cast<int>(window.sink_);
    // The write ends never block: one unread byte is news enough.
    if (pipe2(writer.to_writer, O_CLOEXEC) != 0) {
        return;
    }
    sigset_t every_signal;
    sigset_t mask_before;
    bool created = pipe2(writer.to_front, O_CLOEXEC) == 0 &&
                   fcntl(writer.to_writer[1], F_SETFL, O_NONBLOCK) == 0 &&
                   fcntl(writer.to_front[1], F_SETFL, O_NONBLOCK) == 0 &&
                   sigfillset(&every_signal) == 0 &&
                   pthread_sigmask(SIG_BLOCK, &every_signal, &mask_before) == 0;
    if (created) {
        // Created with every signal blocked, the thread leaves each one to the
        // decoding thread, whose handlers remove the pending file.
        created = pthread_create(&writer.thread, nullptr, write_chunks, window.pages_) == 0;
        (void)pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
    }
    if (!created) {
        for (int* fd : {&writer.to_writer[0], &writer.to_writer[1], &writer.to_front[0],
                        &writer.to_front[1]}) {
            close_if_open(*fd);
        }
        return;
    }
    writer.running = true;
}

// Stop and join the writer thread, if one runs, and take over what it wrote:
// the rest is the window's to write.
void window_access::stop_writer(image_window& window) noexcept {
    chunk_writer& writer = window.pages_->writer;
    if (!writer.running) {
        return;
    }
    writer.stopping.store(true, std::memory_order_release);
    close_if_open(writer.to_writer[1]);  // the end of the pipe wakes the writer
    const int joined = pthread_join(writer.thread, nullptr);
    writer.running = false;
    for (int* fd : {&writer.to_writer[0], &writer.to_front[0], &writer.to_front[1]}) {
        close_if_open(*fd);
    }
    window.written_ = writer.written.load(std::memory_order_acquire);
    window.write_error_ = writer.error.load(std::memory_order_relaxed);
    if (window.write_error_ == 0 && joined != 0) {
        window.write_error_ = joined;  // the thread may still write: nothing more may
    }
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
    // With a writer thread, one: the decoder's first touch of the second chunk
    // hands the first to the writer.
    const std::size_t first =
        writes_in_thread() ? 1
                           : std::min<std::size_t>(WINDOW_CHUNKS, static_cast<std::size_t>(chunks));
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

decode_result image_window::decode(const unsigned char* payload, std::uint32_t in_size) {
    decoder_call call{payload, in_size, destination(), out_size_, {}};
    posix::fault_watch watch;
    // The payload may be a view of the demo's file (byte_buffer::map_file);
    // a fault on a heap buffer never comes, so watching it costs nothing.
    watch.view = payload;
    watch.view_size = in_size;
    if (pages_ != nullptr) {
        pages_->owner = this;
        watch.follow = window_access::follow;
        watch.window = pages_;
        if (writes_in_thread()) {
            window_access::start_writer(*this);
        }
    }
    const posix::fault_outcome outcome =
        posix::run_guarding_faults(watch, window_access::decode, &call);
    if (pages_ != nullptr) {
        window_access::stop_writer(*this);
        pages_->owner = nullptr;
    }
    switch (outcome) {
        case posix::fault_outcome::finished:
            break;
        case posix::fault_outcome::view_unreadable:
            call.result = {0, 0, decode_fault::payload_unreadable};
            break;
        case posix::fault_outcome::window_stuck:
            call.result = {0, 0, decode_fault::no_memory};
            break;
    }
    return call.result;
}

bool image_window::writes_in_thread() const {
    return WRITER_THREAD && sink_ != NO_SINK && out_size_ >= WRITER_THREAD_FROM &&
           out_size_ > CHUNK;
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
