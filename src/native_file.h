// SPDX-License-Identifier: GPL-2.0-or-later
// An open file of the operating system's, closed when its owner goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace unlzon {

/// Owns one system file handle (a descriptor on POSIX, a HANDLE on Windows,
/// stored as an integer so that no system header leaks out). Move-only.
class native_file {
  public:
    using handle_type = std::intptr_t;
    static constexpr handle_type INVALID = -1;

    /// The most that one read or write call is asked to move: Linux moves at
    /// most about 2 GiB and Windows takes a 32-bit count, so larger transfers
    /// are split rather than trusted to a single call.
    static constexpr std::size_t MAX_TRANSFER = std::size_t{1} << 30;

    native_file() = default;
    explicit native_file(handle_type handle) : handle_(handle) {}
    native_file(native_file&& other) noexcept : handle_(std::exchange(other.handle_, INVALID)) {}
    native_file& operator=(native_file&& other) noexcept {
        if (this != &other) {
            (void)close();
            handle_ = std::exchange(other.handle_, INVALID);
        }
        return *this;
    }
    native_file(const native_file&) = delete;
    native_file& operator=(const native_file&) = delete;
    ~native_file() { (void)close(); }

    handle_type get() const { return handle_; }
    bool is_open() const { return handle_ != INVALID; }

    /// Close now. False if the system reported an error, which for a file that
    /// was written means its data may not have reached the disk.
    bool close();

  private:
    handle_type handle_ = INVALID;
};

/// Write all `count` bytes of `data` to the open file `handle` at its current
/// position, in as many calls as the system needs (on POSIX, of at most 256
/// KiB each, the size the page cache then takes its memory in): 0, or the
/// system's error code (errno, or the Windows error; a write that moves
/// nothing counts as a full disk).
int write_all(native_file::handle_type handle, const void* data, std::size_t count) noexcept;

}  // namespace unlzon
