// SPDX-License-Identifier: GPL-2.0-or-later
// The destination of the one decoder call, and the way its bytes reach the
// pending output.
//
// The decoder gets the whole payload and one destination of exactly out_size
// bytes, as LZO1X needs. Where the system allows it (Linux), only a small
// window of that destination is ever memory: the rest of its address range is
// reserved, and the window follows the decoding front, writing each part it
// leaves behind to the output as soon as the decoder can no longer read it
// back. Elsewhere the destination is the whole image in memory, written after
// the call. The caller sees the same either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "buffer.h"
#include "decompress.h"
#include "native_file.h"

namespace unlzon {

/// The image being decoded. Move-only; gives back its memory when destroyed.
class image_window {
  public:
    using sink_type = native_file::handle_type;
    /// Decode without writing anywhere (no pending output could be had).
    static constexpr sink_type NO_SINK = native_file::INVALID;

    /// Prepare the destination of an image of `out_size` bytes whose bytes go,
    /// in order, to the open file `sink` at its current position (NO_SINK: to
    /// nowhere). nullopt if the memory cannot be had.
    static std::optional<image_window> create(std::uint32_t out_size, sink_type sink);

    /// The same, always holding the whole image in memory: the way taken where
    /// no window can be had, for tests of that way.
    static std::optional<image_window> create_whole(std::uint32_t out_size, sink_type sink);

    image_window(image_window&& other) noexcept;
    image_window& operator=(image_window&&) = delete;
    image_window(const image_window&) = delete;
    image_window& operator=(const image_window&) = delete;
    ~image_window();

    /// Decode `payload` (in_size bytes) as one LZO1X stream in one call of the
    /// checking decoder; once per window. A write error meanwhile stops the
    /// writing but not the decoding. Holds nothing that needs a destructor, so
    /// a jump out of it (run_guarding_file_memory) leaves this object sound.
    decode_result decode(const unsigned char* payload, std::uint32_t in_size);

    /// After decode(): write the decoded bytes not yet written, up to
    /// `actual_size`. The first write error's system code (errno, or the
    /// Windows error), also one met during the decoding; 0 if none. The file
    /// then still has to be extended to out_size.
    int finish(std::uint32_t actual_size);

    /// True when only a window of the image is memory, false for the whole image.
    bool windowed() const { return reserved_ != nullptr; }

    /// The memory that holds decoded bytes at any one time, in bytes.
    std::size_t resident_bytes() const;

  private:
    image_window(std::uint32_t out_size, sink_type sink) : out_size_(out_size), sink_(sink) {}
    // Reserve the address range and map the first chunks; false where the
    // system has no way to move pages or refuses the range.
    bool reserve() noexcept;
    void release() noexcept;
    // Append `count` bytes to the sink unless a write failed before; keeps the
    // first error. Async-signal-safe.
    void put(const unsigned char* data, std::size_t count) noexcept;
    // Write all `count` bytes to `sink`: 0 or the system's error code.
    // Async-signal-safe on POSIX.
    static int write_all(sink_type sink, const unsigned char* data, std::size_t count) noexcept;

    // The window's way, on systems that have one: run the decoder with the
    // fault handler in place.
    decode_result decode_in_window(const unsigned char* payload, std::uint32_t in_size);
    // Give up the fault handler, if installed; async-signal-safe.
    void stop_handling() noexcept;
    // Called on a fault at `address`: when it is the decoder's first store
    // into the next chunk, write out the oldest chunk and move its memory
    // there. False for any other fault, which is then not the window's.
    bool follow_front(const void* address) noexcept;
    friend struct window_fault;

    std::uint32_t out_size_ = 0;
    sink_type sink_ = NO_SINK;
    int write_error_ = 0;        // the first write error, 0 if none
    std::uint64_t written_ = 0;  // bytes of the image already in the sink

    // The whole-image way.
    std::optional<byte_buffer> whole_;

    // The window way: an address range of `reserved_length_` bytes, of which
    // the chunks [oldest_, next_) are memory and the rest inaccessible.
    unsigned char* reserved_ = nullptr;
    std::size_t reserved_length_ = 0;
    unsigned char* image_ = nullptr;  // the image's first byte within the range
    std::size_t chunk_ = 0;
    std::size_t chunks_ = 0;  // chunks that cover the image
    std::size_t oldest_ = 0;  // the oldest chunk still in memory
    std::size_t next_ = 0;    // the first chunk that is not (yet) memory
    bool handling_ = false;   // the fault handler is installed for this window
};

}  // namespace unlzon
