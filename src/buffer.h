// SPDX-License-Identifier: GPL-2.0-or-later
// Memory: zero-filled blocks of exactly the size asked for.
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
    byte_buffer(unsigned char* data, std::size_t mapped, std::size_t size)
        : data_(data), mapped_(mapped), size_(size) {}
    void release() noexcept;
    // `size` zero bytes from the C library's heap (given back by free(), as
    // give_back() does for a block with `mapped_` 0); nullopt if there are none.
    static std::optional<byte_buffer> from_heap(std::size_t size);
    // Return a block to where allocate() got it: the system's part.
    static void give_back(unsigned char* data, std::size_t mapped) noexcept;

    unsigned char* data_ = nullptr;
    std::size_t mapped_ = 0;  // length of a system mapping, 0 if from calloc
    std::size_t size_ = 0;
};

}  // namespace unlzon
