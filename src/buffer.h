// SPDX-License-Identifier: GPL-2.0-or-later
// Memory: large zero-filled blocks, and read-only views of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "native_file.h"

namespace unlzon {

/// A fixed-size block of memory, zero-filled when allocated. Move-only.
class byte_buffer {
  public:
    /// Allocate `size` zero bytes; nullopt if the memory cannot be had.
    static std::optional<byte_buffer> allocate(std::size_t size);

    /// A read-only view of `size` bytes of `file` from `offset`, read in
    /// ahead; nullopt where the system refuses it, or where reading the file
    /// in failed, which sets `unreadable`. It stays valid after the file is
    /// closed. Writing to it faults, and so does reading a part that another
    /// process has cut from the file since, or a page the disk can no longer
    /// deliver: decode from it only through image_window::decode(), which
    /// turns such a fault into a result.
    static std::optional<byte_buffer> map_file(const native_file& file, std::uint64_t offset,
                                               std::size_t size, bool& unreadable);

    byte_buffer(byte_buffer&& other) noexcept;
    byte_buffer& operator=(byte_buffer&& other) noexcept;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer();

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    byte_buffer(unsigned char* base, std::size_t mapped, unsigned char* data, std::size_t size)
        : base_(base), mapped_(mapped), data_(data), size_(size) {}
    void release() noexcept;
    // `size` zero bytes from the C library's heap (given back by free(), as
    // give_back() does for a block with `mapped_` 0); nullopt if there are none.
    static std::optional<byte_buffer> from_heap(std::size_t size);
    // Return a block to where allocate() or map_file() got it: the system's part.
    static void give_back(unsigned char* base, std::size_t mapped) noexcept;

    unsigned char* base_ = nullptr;  // what was allocated or mapped
    std::size_t mapped_ = 0;         // length of a system mapping, 0 if from calloc
    unsigned char* data_ = nullptr;  // the first byte of the buffer, within base_
    std::size_t size_ = 0;
};

}  // namespace unlzon
