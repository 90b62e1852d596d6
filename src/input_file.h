// SPDX-License-Identifier: GPL-2.0-or-later
// The demo being unpacked: a regular file read by absolute position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "folder.h"
#include "native_file.h"

namespace unlzon {

enum class read_status {
    ok,           // every requested byte was read
    end_of_file,  // the file ends before the last requested byte
    error,        // the system reported an I/O error
};

/// What an image inherits from the demo it is made from, and how to tell that
/// demo from every other file.
struct file_origin {
    std::uint32_t permissions = 0;  // read and write bits, 0666 at most
    std::int64_t group = -1;        // owning group; -1 where files have none
    std::uint64_t device = 0;       // the file's identity, with inode
    std::uint64_t inode = 0;
};

/// A regular file open for reading. Move-only; closed when destroyed.
class input_file {
  public:
    /// Open `name` in `folder` for reading without waiting on it; nullopt
    /// unless it is a regular file that can be opened. A FIFO or device is
    /// refused at once.
    static std::optional<input_file> open(const demo_folder& folder, const std::string& name);

    /// Length of the file in bytes when it was opened.
    std::uint64_t size() const { return size_; }

    /// Its permission bits, group and identity: an image made from it is never
    /// readable by more users than the demo itself, and never replaces it.
    const file_origin& origin() const { return origin_; }

    /// Read exactly `count` bytes at absolute `offset` into `dest`, whatever
    /// earlier reads did.
    read_status read_at(std::uint64_t offset, void* dest, std::size_t count) const;

  private:
    input_file(native_file file, std::uint64_t size, const file_origin& origin)
        : file_(std::move(file)), size_(size), origin_(origin) {}

    native_file file_;
    std::uint64_t size_ = 0;
    file_origin origin_;
};

}  // namespace unlzon
