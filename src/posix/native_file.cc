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

namespace {

// The most one write() is given. Linux sizes the page cache's folios by the
// write: 2 MiB writes take 2 MiB blocks of free memory, which on a VM that
// hands idle memory back to its host cost dear to touch again; 256 KiB writes
// halved cold runs at 16 MiB (bench/README.md). In a browser the image's
// writes become Blobs (src/web/pre.js), which cuts one write into its own
// pieces: there one write hands over the whole image.
#ifdef __EMSCRIPTEN__
constexpr std::size_t WRITE_PIECE = native_file::MAX_TRANSFER;
#else
constexpr std::size_t WRITE_PIECE = std::size_t{256} << 10;
#endif
static_assert(WRITE_PIECE <= native_file::MAX_TRANSFER);

}  // namespace

int write_all(native_file::handle_type handle, const void* data, std::size_t count) noexcept {
    const int fd = static_cast<int>(handle);
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t put = ::write(fd, in, std::min(count, WRITE_PIECE));
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
