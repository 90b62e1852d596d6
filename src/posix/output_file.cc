// SPDX-License-Identifier: GPL-2.0-or-later
#include "output_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "posix/interrupts.h"

namespace unlzon {

namespace {

constexpr int NAME_ATTEMPTS = 100;

struct folder_and_name {
    std::string folder;
    std::string name;
};

folder_and_name split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// An unpredictable hidden name: another user of a shared folder can neither
// guess it in advance nor have planted it.
std::string temporary_name() {
    static constexpr char ALPHABET[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[12] = {};
    if (getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
        // Only uniqueness matters here; O_EXCL makes a collision harmless.
        auto seed = static_cast<std::uint64_t>(
                        std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    static_cast<std::uint64_t>(getpid()) << 32;
        for (unsigned char& byte : noise) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            byte = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string name = ".unlzon-";
    for (const unsigned char byte : noise) {
        name += ALPHABET[byte % (sizeof ALPHABET - 1)];
    }
    return name;
}

// Whether a failed step lost data (the write error) or was refused a name.
output_status status_of_errno(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EIO:
        case EFBIG:
            return output_status::cannot_write;
        default:
            return output_status::cannot_create;
    }
}

// Give the open, unnamed file `fd` the name `name` in `folder`; 0 or errno.
// Linking through /proc works for any user, unlike linkat's AT_EMPTY_PATH.
int link_unnamed(int fd, int folder, const char* name) {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

bool is_folder(int folder, const std::string& name) {
    struct stat info {};
    return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

native_file open_folder(const std::string& folder) {
    // O_PATH: the folder needs no read permission, only to be searched.
    return native_file(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::optional<native_file> create_named_file(int folder, std::uint32_t permissions,
                                             std::string& temp_name) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        temp_name = temporary_name();
        // Created and registered for removal with no interrupt in between.
        const posix::interrupt_blocker hold;
        const int fd =
            openat(folder, temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   static_cast<mode_t>(permissions));
        if (fd >= 0) {
            posix::register_pending_name(folder, temp_name.c_str());
            return native_file(fd);
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<pending_output> pending_output::create_in_folder(const std::string& path,
                                                               std::uint32_t permissions,
                                                               bool allow_unnamed) {
    folder_and_name where = split_path(path);
    native_file folder = open_folder(where.folder);
    if (!folder.is_open() || where.name.empty() ||
        is_folder(static_cast<int>(folder.get()), where.name)) {
        return std::nullopt;
    }
    const int folder_fd = static_cast<int>(folder.get());
    // Unnamed, nothing is left behind even by SIGKILL; it needs O_TMPFILE
    // support in the file system and /proc to be named later.
    if (allow_unnamed && access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(folder_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC,
                              static_cast<mode_t>(permissions));
        if (fd >= 0) {
            return pending_output(std::move(folder), native_file(fd), std::move(where.name), {});
        }
    }
    std::string temp_name;
    std::optional<native_file> file = create_named_file(folder_fd, permissions, temp_name);
    if (!file) {
        return std::nullopt;
    }
    return pending_output(std::move(folder), std::move(*file), std::move(where.name),
                          std::move(temp_name));
}

void pending_output::discard() noexcept {
    (void)file_.close();
    if (!committed_ && !temp_name_.empty()) {
        (void)unlinkat(static_cast<int>(folder_.get()), temp_name_.c_str(), 0);
        posix::unregister_pending_name();
    }
    committed_ = true;  // nothing left to discard
}

bool pending_output::write(const void* data, std::size_t count) {
    const int fd = static_cast<int>(file_.get());
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const std::size_t chunk = std::min(count, native_file::MAX_TRANSFER);
        const ssize_t put = ::write(fd, in, chunk);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        const auto n = static_cast<std::size_t>(put);
        in += n;
        count -= n;
    }
    return true;
}

bool pending_output::extend_to(std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    const int fd = static_cast<int>(file_.get());
    int result = 0;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

output_status pending_output::commit() {
    const int folder = static_cast<int>(folder_.get());
    if (!temp_name_.empty()) {
        if (!file_.close()) {
            return output_status::cannot_write;
        }
        // Renamed and unregistered with no interrupt in between.
        const posix::interrupt_blocker hold;
        if (renameat(folder, temp_name_.c_str(), folder, name_.c_str()) != 0) {
            return status_of_errno(errno);
        }
        posix::unregister_pending_name();
        committed_ = true;
        return output_status::ok;
    }

    // A second descriptor keeps the unnamed file alive past the close, whose
    // result is what tells that the data reached the file system.
    native_file keep(dup(static_cast<int>(file_.get())));
    if (!keep.is_open()) {
        return status_of_errno(errno);
    }
    if (!file_.close()) {
        return output_status::cannot_write;
    }
    const int keep_fd = static_cast<int>(keep.get());
    int error = link_unnamed(keep_fd, folder, name_.c_str());
    if (error == EEXIST) {
        // Something stands at the name: link under a temporary name, then
        // replace it in one rename. No interrupt may leave the temporary name.
        const posix::interrupt_blocker hold;
        std::string temp_name;
        for (int attempt = 0; attempt < NAME_ATTEMPTS && error == EEXIST; ++attempt) {
            temp_name = temporary_name();
            error = link_unnamed(keep_fd, folder, temp_name.c_str());
        }
        if (error == 0 && renameat(folder, temp_name.c_str(), folder, name_.c_str()) != 0) {
            error = errno;
            (void)unlinkat(folder, temp_name.c_str(), 0);
        }
    }
    if (error != 0) {
        return status_of_errno(error);
    }
    committed_ = true;
    return output_status::ok;
}

}  // namespace unlzon
