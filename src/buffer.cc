// SPDX-License-Identifier: GPL-2.0-or-later
// Ownership of a buffer, the same on every system; how memory is had and
// given back is in posix/, windows/ and web/.
#include "buffer.h"

#include <cstdlib>
#include <utility>

namespace unlzon {

std::optional<byte_buffer> byte_buffer::from_heap(std::size_t size) {
    // calloc(0) may return null; one spare byte keeps data() valid and distinct.
    auto* const block = static_cast<unsigned char*>(std::calloc(size == 0 ? 1 : size, 1));
    if (block == nullptr) {
        return std::nullopt;
    }
    return byte_buffer(block, 0, size);
}

byte_buffer::byte_buffer(byte_buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      size_(std::exchange(other.size_, 0)) {}

byte_buffer& byte_buffer::operator=(byte_buffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

byte_buffer::~byte_buffer() {
    release();
}

void byte_buffer::release() noexcept {
    if (data_ != nullptr) {
        give_back(data_, mapped_);
    }
    data_ = nullptr;
    mapped_ = 0;
    size_ = 0;
}

}  // namespace unlzon
