// SPDX-License-Identifier: GPL-2.0-or-later
// The image window on POSIX systems: the image's address range is reserved
// inaccessible, two chunks of memory sit at the decoding front, and a SIGSEGV
// handler moves the oldest chunk to the front (Linux mremap) once it has
// written it to the output.
//
// Why this is sound with liblzo2's checking decoder: it writes the image
// strictly forward, reads back only bytes it has written and at most 49,151
// bytes behind its front, and calls no function. So its first touch of a chunk
// is a store at the front, and a chunk the front has left by more than a whole
// chunk is final. A fault anywhere else is not the window's, and ends the
// process as it would have without it.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "image_window.h"

namespace unlzon {

namespace {

// Chunks of 256 KiB: a whole number of pages of any size Linux uses (4 to 64
// KiB), and more than the 49,151 bytes the decoder may read back. Measured
// against 128 KiB and 1 MiB (medians of 40 runs, unlzon/lzop -d, warm, new
// names): 0.85 against 0.87 and 0.88 at 4 MiB, 0.82 against 0.84 and 0.82 at
// 16 MiB, 0.78 against 0.93 and 0.85 at 256 MiB (8 runs): less memory to
// touch first, and few enough faults.
constexpr std::size_t CHUNK = std::size_t{256} << 10;
constexpr std::size_t LZO1X_LOOK_BACK = 49151;
static_assert(CHUNK > LZO1X_LOOK_BACK);
// The front chunk and one whole chunk behind it.
constexpr std::size_t WINDOW_CHUNKS = 2;

// The window the handler serves, set only while its decoder call runs.
std::atomic<image_window*> active_window{nullptr};
static_assert(std::atomic<image_window*>::is_always_lock_free);
struct sigaction action_before_window {};

}  // namespace

// The handler's access to the window's private state. It calls write,
// mremap, mmap, sigaction and raise only: async-signal-safe system calls on
// Linux, none of which takes a lock of the C library's.
struct window_fault {
    static void handle(int signal_number, siginfo_t* info, void* context) {
        (void)context;
        const int saved_errno = errno;
        image_window* const window = active_window.load();
        // si_code <= 0: sent by another process (kill -SEGV), not a fault.
        // It gets the action the process had before, which has no store to
        // retry: raised again, still blocked here, it arrives on return.
        if (info->si_code <= 0) {
            if ((action_before_window.sa_flags & SA_SIGINFO) != 0 ||
                action_before_window.sa_handler != SIG_IGN) {
                window_fault::give_up();
                (void)raise(signal_number);
            }
        } else if (window == nullptr || !window->follow_front(info->si_addr)) {
            // Not the window's: the store is retried under the action the
            // process had before (the cleanup on a fatal signal, the default,
            // or a sanitizer's report), which ends the process.
            window_fault::give_up();
        }
        errno = saved_errno;
    }

    static void give_up() noexcept {
        (void)sigaction(SIGSEGV, &action_before_window, nullptr);
        active_window.store(nullptr);
    }
};

namespace {

extern "C" void on_window_fault(int signal_number, siginfo_t* info, void* context) {
    window_fault::handle(signal_number, info, context);
}

}  // namespace

bool image_window::reserve() noexcept {
#if defined(MREMAP_FIXED) && defined(MREMAP_MAYMOVE)
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
    const std::size_t length = static_cast<std::size_t>(chunks) * CHUNK;
    // Address space only: no memory and no swap are committed to it.
    void* const range =
        mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) {
        return false;
    }
    const std::size_t first =
        std::min<std::size_t>(WINDOW_CHUNKS, static_cast<std::size_t>(chunks));
    // Populated at once: one call instead of a page fault per page.
    if (mmap(range, first * CHUNK, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_POPULATE, -1, 0) == MAP_FAILED) {
        (void)munmap(range, length);
        return false;
    }
    reserved_ = static_cast<unsigned char*>(range);
    reserved_length_ = length;
    image_ = reserved_;
    chunk_ = CHUNK;
    chunks_ = static_cast<std::size_t>(chunks);
    oldest_ = 0;
    next_ = first;
    return true;
#else
    return false;  // no way to move pages: the whole image is memory
#endif
}

void image_window::release() noexcept {
    stop_handling();
    if (reserved_ != nullptr) {
        (void)munmap(reserved_, reserved_length_);
        reserved_ = nullptr;
        reserved_length_ = 0;
    }
}

void image_window::stop_handling() noexcept {
    if (handling_) {
        if (active_window.load() == this) {
            window_fault::give_up();
        }
        handling_ = false;
    }
}

decode_result image_window::decode_in_window(const unsigned char* payload, std::uint32_t in_size) {
    struct sigaction action {};
    action.sa_sigaction = on_window_fault;
    action.sa_flags = SA_SIGINFO;
    // The interrupt signals stay open: a write that stalls in the handler (a
    // slow network folder) must still be ended by SIGINT or SIGTERM.
    (void)sigemptyset(&action.sa_mask);
    active_window.store(this);
    handling_ = true;
    // Fails only for an invalid signal number or action, which these are not.
    (void)sigaction(SIGSEGV, &action, &action_before_window);
    const decode_result decoded = decode_demo_payload(payload, in_size, image_, out_size_);
    stop_handling();
    return decoded;
}

bool image_window::follow_front(const void* address) noexcept {
#if defined(MREMAP_FIXED) && defined(MREMAP_MAYMOVE)
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto front = reinterpret_cast<std::uintptr_t>(image_ + next_ * chunk_);
    if (next_ >= chunks_ || at < front || at - front >= chunk_) {
        return false;
    }
    unsigned char* const oldest = image_ + oldest_ * chunk_;
    put(oldest, chunk_);
    // The same warm pages carry the whole image; the oldest chunk's range
    // becomes inaccessible again, so a stray access there is still caught.
    if (mremap(oldest, chunk_, chunk_, MREMAP_MAYMOVE | MREMAP_FIXED, image_ + next_ * chunk_) ==
        MAP_FAILED) {
        return false;
    }
    (void)mmap(oldest, chunk_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
               -1, 0);
    ++oldest_;
    ++next_;
    return true;
#else
    (void)address;
    return false;
#endif
}

int image_window::write_all(sink_type sink, const unsigned char* data, std::size_t count) noexcept {
    const int fd = static_cast<int>(sink);
    while (count > 0) {
        const ssize_t put = ::write(fd, data, std::min(count, native_file::MAX_TRANSFER));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : ENOSPC;
        }
        data += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

}  // namespace unlzon
