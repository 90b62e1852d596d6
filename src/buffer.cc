// SPDX-License-Identifier: GPL-2.0-or-later
// Ownership of a buffer, the same on every system; how memory is had and
// given back is in posix/ and windows/.
#include "buffer.h"

#include <utility>

namespace unlzon {

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
    if (this != &other) {
        release();
        base_ = std::exchange(other.base_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

byte_buffer::~byte_buffer() {
    release();
}

void byte_buffer::release() noexcept {
    if (base_ != nullptr) {
        give_back(base_, mapped_);
    }
    base_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace unlzon
