// SPDX-License-Identifier: GPL-2.0-or-later
// POSIX.1-2008 throughout; the unnamed pending file, the append-only check
// and names that never wait for randomness are Linux extras (linux_extras.h).
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "posix/linux_extras.h"
#include "posix/signals.h"

namespace unlzon {

namespace {

constexpr int NAME_ATTEMPTS = 100;

// An unpredictable hidden name: another user of a shared folder can neither
// guess it in advance nor have planted it.
std::string temporary_name() {
    static constexpr char ALPHABET[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char noise[12] = {};
    if (!linux_extras::random_bytes(noise, sizeof noise)) {
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

// Link the unnamed file `fd` under a new temporary name in `folder`, which
// `temp_name` receives; 0 or errno. Call with the interrupts held back.
int link_under_temporary_name(int fd, int folder, std::string& temp_name) {
    int error = EEXIST;
    for (int attempt = 0; attempt < NAME_ATTEMPTS && error == EEXIST; ++attempt) {
        temp_name = temporary_name();
        error = linux_extras::link_unnamed_file(fd, folder, temp_name.c_str());
    }
    return error;
}

// What stands at `name` in `folder`, never followed if it is a link: 0 with
// `info` filled in, or errno (ENOENT: nothing stands there).
int stat_name(int folder, const std::string& name, struct stat& info) {
    return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

bool is_folder(int folder, const std::string& name) {
    struct stat info {};
    return stat_name(folder, name, info) == 0 && S_ISDIR(info.st_mode);
}

// True when `name` in `folder` is the demo itself, under this name or as a
// hard link: replacing it would destroy the input.
bool is_the_demo(int folder, const std::string& name, const file_origin& origin) {
    struct stat info {};
    return stat_name(folder, name, info) == 0 &&
           static_cast<std::uint64_t>(info.st_dev) == origin.device &&
           static_cast<std::uint64_t>(info.st_ino) == origin.inode;
}

// True unless the name is known to be free; a name that cannot be looked at
// counts as taken.
bool name_taken(int folder, const std::string& name) {
    struct stat info {};
    return stat_name(folder, name, info) != ENOENT;
}

// Give the new pending file `fd` the demo's group and its permission bits
// under the umask. The file was created readable by its owner alone, so no
// other user could open it before this. Where the demo's group cannot be
// given (a setgid folder, a user outside that group), the image grants its
// own group nothing. False if the bits could not be set.
bool adopt_origin(int fd, const file_origin& origin) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    const bool same_group =
        origin.group >= 0 &&
        (static_cast<std::int64_t>(info.st_gid) == origin.group ||
         fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(origin.group)) == 0);
    const mode_t mask = umask(0);
    (void)umask(mask);
    mode_t mode = static_cast<mode_t>(origin.permissions) & ~mask & 0666;
    if (!same_group) {
        mode &= static_cast<mode_t>(~0070);
    }
    return fchmod(fd, mode) == 0;
}

// Owner-only: the group and the final bits are set by adopt_origin().
constexpr mode_t CREATION_MODE = 0600;

std::optional<native_file> create_named_file(int folder, std::string& temp_name) {
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        temp_name = temporary_name();
        // Created and registered for removal with no interrupt in between.
        const posix::interrupt_blocker hold;
        const int fd = openat(folder, temp_name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, CREATION_MODE);
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

std::optional<pending_output> pending_output::create_in_folder(const demo_folder& folder,
                                                               const std::string& name,
                                                               const file_origin& origin,
                                                               bool allow_unnamed) {
    const int folder_fd = static_cast<int>(folder.handle().get());
    if (name.empty() || is_folder(folder_fd, name)) {
        return std::nullopt;
    }
    // Copied before any file exists: a copy that fails for want of memory
    // must not leave a registered file without an owner.
    std::string owned_name = name;
    // In an append-only folder a temporary name could never be removed again:
    // only an unnamed file given a name that is still free can work there.
    const bool append_only = linux_extras::is_append_only(folder_fd);
    if (append_only && name_taken(folder_fd, name)) {
        return std::nullopt;
    }
    std::optional<pending_output> pending;
    // Unnamed, nothing is left behind even by SIGKILL.
    if (allow_unnamed) {
        const int fd = linux_extras::create_unnamed_file(folder_fd, CREATION_MODE);
        if (fd >= 0) {
            pending.emplace(pending_output(folder, native_file(fd), std::move(owned_name), {},
                                           origin, append_only));
        }
    }
    if (!pending && !append_only) {
        std::string temp_name;
        if (std::optional<native_file> file = create_named_file(folder_fd, temp_name)) {
            pending.emplace(pending_output(folder, std::move(*file), std::move(owned_name),
                                           std::move(temp_name), origin, append_only));
        }
    }
    if (!pending || !adopt_origin(static_cast<int>(pending->file_.get()), origin)) {
        return std::nullopt;  // a pending file is discarded with it
    }
    return pending;
}

void pending_output::discard() noexcept {
    (void)file_.close();
    if (!committed_ && !temp_name_.empty()) {
        (void)unlinkat(static_cast<int>(folder_->handle().get()), temp_name_.c_str(), 0);
        posix::unregister_pending_name();
    }
    committed_ = true;  // nothing left to discard
}

output_status pending_output::extend_to(std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        return output_status::cannot_write;
    }
    const int fd = static_cast<int>(file_.get());
    int result = 0;
    do {
        result = ftruncate(fd, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? output_status::ok : output_status::cannot_write;
}

output_status pending_output::commit() {
    const int folder = static_cast<int>(folder_->handle().get());
    // The demo can stand at the output name (demo.bin -> demo.bin.nds, or a
    // hard link): the image must not take its place.
    if (is_the_demo(folder, name_, origin_)) {
        return output_status::cannot_create;
    }
    if (temp_name_.empty()) {
        // A second descriptor keeps the unnamed file alive past the close,
        // whose result is what tells that the data reached the file system.
        native_file keep(dup(static_cast<int>(file_.get())));
        if (keep.is_open()) {
            if (!file_.close()) {
                return output_status::cannot_write;
            }
            const int keep_fd = static_cast<int>(keep.get());
            int error = linux_extras::link_unnamed_file(keep_fd, folder, name_.c_str());
            if (error == EEXIST && !append_only_) {
                // Something stands at the name: link under a temporary name,
                // then replace it in one rename. No interrupt may leave the
                // temporary name.
                const posix::interrupt_blocker hold;
                std::string temp_name;
                error = link_under_temporary_name(keep_fd, folder, temp_name);
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
        if ((errno != EMFILE && errno != ENFILE) || append_only_) {
            return status_of_errno(errno);
        }
        // No descriptor to spare: give the file a temporary name of its own
        // first and go on as a named pending file.
        const posix::interrupt_blocker hold;
        std::string temp_name;
        const int error =
            link_under_temporary_name(static_cast<int>(file_.get()), folder, temp_name);
        if (error != 0) {
            return status_of_errno(error);
        }
        posix::register_pending_name(folder, temp_name.c_str());
        temp_name_ = std::move(temp_name);
    }
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

}  // namespace unlzon
