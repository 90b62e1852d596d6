// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of the image window that are the same on every system: the choice
// of way, the whole-image way and the writing in order. Reserving, moving
// pages and the fault handler are in posix/; windows/ has none of them.
#include "image_window.h"

#include <algorithm>
#include <utility>

namespace unlzon {

std::optional<image_window> image_window::create(std::uint32_t out_size, sink_type sink) {
    image_window window(out_size, sink);
    // The one place that chooses: a window where the system can reserve the
    // image's address range and move pages within it, else the whole image
    // (a 32-bit process with a huge image, an address-space limit, Windows).
    if (window.reserve()) {
        return window;
    }
    return create_whole(out_size, sink);
}

std::optional<image_window> image_window::create_whole(std::uint32_t out_size, sink_type sink) {
    image_window window(out_size, sink);
    window.whole_ = byte_buffer::allocate(out_size);
    if (!window.whole_) {
        return std::nullopt;
    }
    return window;
}

image_window::image_window(image_window&& other) noexcept
    : out_size_(other.out_size_),
      sink_(other.sink_),
      write_error_(other.write_error_),
      written_(other.written_),
      whole_(std::move(other.whole_)),
      reserved_(std::exchange(other.reserved_, nullptr)),
      reserved_length_(std::exchange(other.reserved_length_, 0)),
      image_(std::exchange(other.image_, nullptr)),
      chunk_(other.chunk_),
      chunks_(other.chunks_),
      oldest_(other.oldest_),
      next_(other.next_),
      handling_(std::exchange(other.handling_, false)) {
    other.whole_.reset();
}

image_window::~image_window() {
    release();
}

decode_result image_window::decode(const unsigned char* payload, std::uint32_t in_size) {
    if (windowed()) {
        return decode_in_window(payload, in_size);
    }
    return decode_demo_payload(payload, in_size, whole_->data(), out_size_);
}

int image_window::finish(std::uint32_t actual_size) {
    // What is still in memory starts at the oldest chunk the window holds.
    const std::uint64_t held_from = windowed() ? std::uint64_t{oldest_} * chunk_ : 0;
    const unsigned char* const held = windowed() ? image_ : whole_->data();
    const std::uint64_t end = std::min<std::uint64_t>(actual_size, out_size_);
    if (end > written_ && written_ >= held_from) {
        put(held + written_, static_cast<std::size_t>(end - written_));
    }
    return write_error_;
}

std::size_t image_window::resident_bytes() const {
    return windowed() ? (next_ - oldest_) * chunk_ : whole_->size();
}

void image_window::put(const unsigned char* data, std::size_t count) noexcept {
    if (sink_ == NO_SINK || write_error_ != 0) {
        return;
    }
    write_error_ = write_all(sink_, data, count);
    written_ += count;
}

}  // namespace unlzon
