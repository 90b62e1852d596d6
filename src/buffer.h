// SPDX-License-Identifier: GPL-2.0-or-later
// Memory for a whole-image unpacker: large zero-filled blocks.
#pragma once

#include <cstddef>
#include <optional>

namespace unlzon {

/// A fixed-size block of memory, zero-filled when allocated. Move-only.
class byte_buffer {
  public:
    /// Allocate `size` zero bytes; nullopt if the memory cannot be had.
    static std::optional<byte_buffer> allocate(std::size_t size);

    byte_buffer(byte_buffer&& other) noexcept;
    byte_buffer& operator=(byte_buffer&& other) noexcept;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer();

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    byte_buffer(unsigned char* data, std::size_t size, std::size_t mapped)
        : data_(data), size_(size), mapped_(mapped) {}
    void release() noexcept;

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // length of a system mapping, 0 if from calloc
};

}  // namespace unlzon
