// SPDX-License-Identifier: GPL-2.0-or-later
// The demo being unpacked: a regular file read by absolute position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "buffer.h"
#include "native_file.h"

namespace unlzon {

enum class read_status {
    ok,           // every requested byte was read
    end_of_file,  // the file ends before the last requested byte
    error,        // the system reported an I/O error
};

/// A regular file open for reading. Move-only; closed when destroyed.
class input_file {
  public:
    /// Open `path` (UTF-8) for reading without waiting on it; nullopt unless it
    /// names a regular file that can be opened. A FIFO or device is refused at once.
    static std::optional<input_file> open(const char* path);

    /// Length of the file in bytes when it was opened.
    std::uint64_t size() const { return size_; }

    /// The file's read and write permission bits (0666 at most); an image made
    /// from it is never readable by more users than the demo itself.
    std::uint32_t permissions() const { return permissions_; }

    /// Read exactly `count` bytes at absolute `offset` into `dest`, whatever
    /// earlier reads did.
    read_status read_at(std::uint64_t offset, void* dest, std::size_t count) const;

    /// A read-only view of `count` bytes at `offset`, valid after the file is
    /// closed; nullopt where the system refuses it (see byte_buffer::map_file).
    std::optional<byte_buffer> map(std::uint64_t offset, std::size_t count) const {
        return byte_buffer::map_file(file_, offset, count);
    }

  private:
    input_file(native_file file, std::uint64_t size, std::uint32_t permissions)
        : file_(std::move(file)), size_(size), permissions_(permissions) {}

    native_file file_;
    std::uint64_t size_ = 0;
    std::uint32_t permissions_ = 0;
};

}  // namespace unlzon
