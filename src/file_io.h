// SPDX-License-Identifier: GPL-2.0-or-later
// Files and buffers for a whole-image unpacker: positioned reads straight
// into a buffer, large zeroed buffers from the kernel, and an output file
// that disappears again unless it was written completely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace unlzon {

/// A fixed-size block of heap memory, zero-filled when allocated. Move-only.
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
    std::size_t mapped_ = 0;  // length of the kernel mapping, 0 if from calloc
};

/// What makes a file the same file under any of its names.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const file_identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

/// An open file descriptor, closed when destroyed unless closed before. Move-only.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd();

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }

    /// Close now; the result of close(), for callers that wrote through it.
    int close();

  private:
    int fd_ = -1;
};

enum class read_status {
    ok,           // every requested byte was read
    end_of_file,  // the file ends before the last requested byte
    error,        // the system reported an I/O error
};

/// A regular file open for reading. Move-only; closed when destroyed.
class input_file {
  public:
    /// Open `path` for reading; nullopt unless it names a regular file that can be opened.
    static std::optional<input_file> open(const char* path);

    /// Length of the file in bytes when it was opened.
    std::uint64_t size() const { return size_; }

    /// The file itself, whatever name or link it was opened by.
    file_identity identity() const { return identity_; }

    /// Read exactly `count` bytes at absolute `offset` into `dest`, whatever
    /// earlier reads did.
    read_status read_at(std::uint64_t offset, void* dest, std::size_t count) const;

  private:
    input_file(unique_fd fd, std::uint64_t size, file_identity identity)
        : fd_(std::move(fd)), size_(size), identity_(identity) {}

    unique_fd fd_;
    std::uint64_t size_ = 0;
    file_identity identity_;
};

/// A file being written that is removed again unless write_and_commit()
/// succeeds, so that a failed or interrupted run never leaves a partial file
/// under the final name. Only a regular file is ever removed, and only one
/// that this object created or emptied. Move-only; one at a time.
class output_file {
  public:
    /// Create `path`, or empty an existing file of that name, for writing;
    /// nullopt if it cannot be opened or if it is the file `keep` (the input
    /// reached through a link), which is then left as it was.
    static std::optional<output_file> create(std::string path, file_identity keep = {});

    output_file(output_file&& other) noexcept;
    output_file& operator=(output_file&&) = delete;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    /// Closes the file and, unless committed, removes it if it is a regular file.
    ~output_file();

    const std::string& path() const { return path_; }

    /// Write all `count` bytes of `data`, then close the file and keep it.
    /// False if any write or the close failed; the file is then removed when
    /// this object is destroyed.
    bool write_and_commit(const void* data, std::size_t count);

  private:
    output_file(unique_fd fd, std::string path, bool regular, bool armed)
        : fd_(std::move(fd)), path_(std::move(path)), regular_(regular), armed_(armed) {}

    unique_fd fd_;
    std::string path_;
    bool regular_ = false;  // only a regular file is ever removed
    bool armed_ = false;    // removed by the interrupt handler too
    bool committed_ = false;
};

}  // namespace unlzon
