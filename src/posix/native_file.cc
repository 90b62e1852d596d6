// SPDX-License-Identifier: GPL-2.0-or-later
#include "native_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace unlzon {

bool native_file::close() {
    if (!is_open()) {
        return true;
    }
    // Retrying after EINTR could close a descriptor that another open took.
    return ::close(static_cast<int>(std::exchange(handle_, INVALID))) == 0;
}

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
