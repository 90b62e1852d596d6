// SPDX-License-Identifier: GPL-2.0-or-later
// The destination of the one decoder call, and the way its bytes reach the
// pending output.
//
// The decoder gets the whole payload and one destination of exactly out_size
// bytes, as LZO1X needs. Where the system can move pages within a reserved
// address range (Linux), only a small window of that destination is ever
// memory: it follows the decoding front and writes each part the decoder can
// no longer read back to the output as it goes. Elsewhere the destination is
// the whole image in memory, written after the call. The caller sees the same
// either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "buffer.h"
#include "native_file.h"
#include "output_file.h"

namespace unlzon {

/// How a decoding ended besides the decoder's own result.
enum class decode_fault {
    none,
    payload_unreadable,  // a page of the payload's view could not be read: the
                         // file was cut short, or the disk failed
    no_memory,           // the window could not move its pages
};

struct decode_result {
    int code = 0;                   // the LZO library's result: LZO_E_OK or a negative error
    std::uint32_t actual_size = 0;  // bytes the decoder produced, also when it failed
    decode_fault fault = decode_fault::none;  // when not none, code and actual_size mean nothing
};

/// The image being decoded. Move-only; gives back its memory when destroyed.
class image_window {
  public:
    using sink_type = native_file::handle_type;
    /// Decode without writing anywhere (no pending output could be had).
    static constexpr sink_type NO_SINK = native_file::INVALID;

    /// Images from this size on are written by a thread of their own while
    /// they are decoded, where the window has one (POSIX); smaller ones are
    /// written by the decoding thread, for which the thread would cost more
    /// than it saves (measured: see posix/image_window.cc).
    static constexpr std::uint32_t WRITER_THREAD_FROM = UINT32_C(8) << 20;
    /// 64-bit builds only. Under qemu-i386, where the i386 build's suite runs
    /// here, the thread's end crashed the emulated process and its join failed;
    /// with no i386 machine to tell the emulator from the build, 32-bit
    /// builds write from the decoding thread, as the cross suite checks.
    static constexpr bool WRITER_THREAD = sizeof(void*) >= 8;

    /// Prepare the zero-filled destination of an image of `out_size` bytes
    /// whose bytes go, in order, to the open file `sink` at its current
    /// position (NO_SINK: to nowhere). nullopt if the memory cannot be had.
    static std::optional<image_window> create(std::uint32_t out_size, sink_type sink);

    /// The same, always holding the whole image in memory: the way taken where
    /// no window can be had.
    static std::optional<image_window> create_whole(std::uint32_t out_size, sink_type sink);

    image_window(image_window&& other) noexcept;
    image_window& operator=(image_window&& other) noexcept;
    image_window(const image_window&) = delete;
    image_window& operator=(const image_window&) = delete;
    ~image_window();

    /// Decode `payload` (in_size bytes, possibly a view of a file) as one
    /// LZO1X stream in one call of the checking decoder; once per window. A
    /// write error meanwhile stops the writing but not the decoding. A page of
    /// the payload that cannot be read, or window pages that cannot be moved,
    /// end the decoding with a fault instead of the process.
    decode_result decode(const unsigned char* payload, std::uint32_t in_size);

    /// After decode(): write the decoded bytes not yet written, up to
    /// `actual_size`. The first write error's system code (errno, or the
    /// Windows error), also one met during the decoding; 0 if none.
    int flush(std::uint32_t actual_size);

    /// After decode(): write the rest into `output` (whose handle is this
    /// window's sink), make it out_size bytes long (the zero tail is a hole
    /// where the file system has them), give back the memory and commit it.
    output_status finish(pending_output& output, std::uint32_t actual_size);

    /// The whole image, or null when only a window of it is memory.
    const unsigned char* whole_image() const { return whole_ ? whole_->data() : nullptr; }

    /// True when only a window of the image is memory.
    bool windowed() const { return pages_ != nullptr; }

    /// The memory that holds decoded bytes at any one time, in bytes.
    std::size_t resident_bytes() const;

    /// The system's window: its pages and the fault handler's side of them.
    struct pages;

  private:
    image_window(std::uint32_t out_size, sink_type sink);
    // Reserve the address range and map the first chunks into pages_; false
    // where the system has no way to move pages or refuses the range.
    bool reserve() noexcept;
    void release() noexcept;
    // True when a writer thread is to write the image (POSIX).
    bool writes_in_thread() const;
    // Append `count` bytes to the sink unless a write failed before; keeps the
    // first error. Async-signal-safe.
    void put(const unsigned char* data, std::size_t count) noexcept;
    // The destination's first byte, and what is still memory of it from
    // `held_from` on.
    unsigned char* destination();
    std::uint64_t held_from() const;

    std::uint32_t out_size_ = 0;
    sink_type sink_ = NO_SINK;
    int write_error_ = 0;        // the first write error, 0 if none
    std::uint64_t written_ = 0;  // bytes of the image already in the sink
    std::optional<byte_buffer> whole_;
    pages* pages_ = nullptr;  // the window, where the system has one
    friend struct window_access;
};

}  // namespace unlzon
