// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of the image window that are the same on every system: the choice
// of way, the whole-image way and the writing in order. The window's pages and
// their fault handler are in posix/; windows/ has the whole image alone.
#include "image_window.h"

#include <algorithm>
#include <utility>

namespace unlzon {

image_window::image_window(std::uint32_t out_size, sink_type sink)
    : out_size_(out_size), sink_(sink) {}

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
      pages_(std::exchange(other.pages_, nullptr)) {
    other.whole_.reset();
}

image_window& image_window::operator=(image_window&& other) noexcept {
    if (this != &other) {
        release();
        out_size_ = other.out_size_;
        sink_ = other.sink_;
        write_error_ = other.write_error_;
        written_ = other.written_;
        whole_ = std::move(other.whole_);
        other.whole_.reset();
        pages_ = std::exchange(other.pages_, nullptr);
    }
    return *this;
}

image_window::~image_window() {
    release();
}

decode_outcome image_window::finish(const decode_outcome& decoded) {
    const std::uint64_t end = std::min<std::uint64_t>(decoded.actual_size, out_size_);
    if (end > written_ && written_ >= held_from()) {
        put(destination() + written_, static_cast<std::size_t>(end - written_));
    }
    release();
    whole_.reset();
    if (write_error_ != 0) {
        decode_outcome failed = decoded;
        failed.what = decode_outcome::kind::output_not_written;
        failed.error = write_error_;
        return failed;
    }
    return decoded;
}

void image_window::put(const unsigned char* data, std::size_t count) noexcept {
    if (sink_ == NO_SINK || write_error_ != 0) {
        return;
    }
    write_error_ = write_all(sink_, data, count);
    written_ += count;
}

}  // namespace unlzon
