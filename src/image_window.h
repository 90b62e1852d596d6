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
#include <optional>

#include "buffer.h"
#include "decode_outcome.h"
#include "native_file.h"

namespace unlzon {

/// The image being decoded. Move-only; gives back its memory when destroyed.
class image_window {
  public:
    using sink_type = native_file::handle_type;
    /// Decode without writing anywhere.
    static constexpr sink_type NO_SINK = native_file::INVALID;
    /// Where there is a window, it holds two aligned chunks of this size: the
    /// one the decoder writes and the one behind it, which it may read back.
    static constexpr std::size_t CHUNK = std::size_t{2} << 20;

    /// Nothing: no image, no memory.
    image_window() = default;

    /// Prepare the zero-filled destination of an image of `out_size` bytes
    /// whose bytes go, in order, to the open file `sink` at its current
    /// position (NO_SINK: to nowhere). nullopt if the memory cannot be had.
    static std::optional<image_window> create(std::uint32_t out_size, sink_type sink);

    image_window(image_window&& other) noexcept;
    image_window& operator=(image_window&& other) noexcept;
    image_window(const image_window&) = delete;
    image_window& operator=(const image_window&) = delete;
    ~image_window();

    /// Decode `payload` (in_size bytes, possibly a view of a file) with
    /// `decoder`, in one call; once per window. A write error meanwhile stops
    /// the writing but not the decoding (finish() reports it). A page of the
    /// payload that cannot be read, or window pages that cannot be moved, end
    /// the decoding with that outcome instead of ending the process.
    decode_outcome decode(demo_decoder decoder, const unsigned char* payload,
                          std::uint32_t in_size);

    /// After decode(): write the decoded bytes not yet written, up to
    /// `decoded.actual_size`, and give back the memory. `decoded` as it was,
    /// or output_not_written with the first write error, also one met during
    /// the decoding.
    decode_outcome finish(const decode_outcome& decoded);

    /// The system's window: its pages and the fault handler's side of them.
    struct pages;

  private:
    image_window(std::uint32_t out_size, sink_type sink);
    // The same as create(), always holding the whole image in memory: the way
    // taken where no window can be had.
    static std::optional<image_window> create_whole(std::uint32_t out_size, sink_type sink);
    // Reserve the address range and map the first chunks into pages_; false
    // where the system has no way to move pages or refuses the range.
    bool reserve() noexcept;
    void release() noexcept;
    // Append `count` bytes to the sink unless a write failed before; keeps the
    // first error. Async-signal-safe.
    void put(const unsigned char* data, std::size_t count) noexcept;
    // The destination's first byte, and what is still memory of it from
    // `held_from` on.
    unsigned char* destination();
    std::uint64_t held_from() const;
    // The memory that holds decoded bytes at any one time, in bytes.
    std::size_t resident_bytes() const;

    std::uint32_t out_size_ = 0;
    sink_type sink_ = NO_SINK;
    int write_error_ = 0;        // the first write error, 0 if none
    std::uint64_t written_ = 0;  // bytes of the image already in the sink
    std::optional<byte_buffer> whole_;
    pages* pages_ = nullptr;  // the window, where the system has one
    friend struct window_access;
    friend struct test_access;
};

}  // namespace unlzon
