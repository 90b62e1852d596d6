// SPDX-License-Identifier: GPL-2.0-or-later
#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace unlzon {

std::optional<input_file> input_file::open(const demo_folder& folder, const std::string& name) {
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
    const int fd = openat(static_cast<int>(folder.handle().get()), name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    native_file file(fd);
    // A directory, FIFO or device opens too, but it cannot be read by position.
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        return std::nullopt;
    }
    file_origin origin;
    origin.permissions = static_cast<std::uint32_t>(info.st_mode & 0666);
    origin.group = static_cast<std::int64_t>(info.st_gid);
    origin.device = static_cast<std::uint64_t>(info.st_dev);
    origin.inode = static_cast<std::uint64_t>(info.st_ino);
    return input_file(std::move(file), static_cast<std::uint64_t>(info.st_size), origin);
}

read_status input_file::read_at(std::uint64_t offset, void* dest, std::size_t count) const {
    const int fd = static_cast<int>(file_.get());
    auto* out = static_cast<unsigned char*>(dest);
    while (count > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return read_status::end_of_file;
        }
        const std::size_t chunk = std::min(count, native_file::MAX_TRANSFER);
        const ssize_t got = pread(fd, out, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return read_status::error;
        }
        if (got == 0) {
            return read_status::end_of_file;
        }
        const auto n = static_cast<std::size_t>(got);
        out += n;
        count -= n;
        offset += n;
    }
    return read_status::ok;
}

}  // namespace unlzon
