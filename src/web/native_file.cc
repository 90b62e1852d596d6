// SPDX-License-Identifier: GPL-2.0-or-later
// Descriptors of emscripten's file systems: its in-memory one in a browser,
// node's real one under node (NODERAWFS).
#include "native_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace unlzon {

bool native_file::close() {
    if (!is_open()) {
        return true;
    }
    return ::close(static_cast<int>(std::exchange(handle_, INVALID))) == 0;
}

// In as few calls as possible: the in-memory file system grows a file by an
// eighth of its size at a time, copying it each time, so the 256 KiB pieces
// that suit Linux's page cache (posix/native_file.cc) would copy a 256 MiB
// image about eight times over and hold it twice meanwhile; one write into an
// empty file is one copy of the exact size.
int write_all(native_file::handle_type handle, const void* data, std::size_t count) noexcept {
    const int fd = static_cast<int>(handle);
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t put = ::write(fd, in, std::min(count, native_file::MAX_TRANSFER));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : ENOSPC;
        }
        in += put;
        count -= static_cast<std::size_t>(put);
    }
    return 0;
}

}  // namespace unlzon
