// SPDX-License-Identifier: GPL-2.0-or-later
// A one-file FUSE file system for the tests: it serves BACKING as demo.bin,
// but every read that touches [BAD_OFFSET, BAD_OFFSET + BAD_LENGTH) fails with
// EIO, as a disk with a bad sector would; with MODE "stall" such a read is
// never answered, as a hung network server would.
//   failing_fs BACKING BAD_OFFSET BAD_LENGTH MOUNTPOINT [stall]
// It stays in the foreground until the file system is unmounted.
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char FILE_PATH[] = "/demo.bin";

int backing_fd = -1;
off_t backing_size = 0;
off_t bad_offset = 0;
off_t bad_length = 0;
bool stall = false;

int get_attributes(const char* path, struct stat* info, struct fuse_file_info*) {
    std::memset(info, 0, sizeof *info);
    if (std::strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, FILE_PATH) == 0) {
        info->st_mode = S_IFREG | 0644;
        info->st_nlink = 1;
        info->st_size = backing_size;
        return 0;
    }
    return -ENOENT;
}

int read_folder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
                enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, FILE_PATH + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int open_file(const char* path, struct fuse_file_info* info) {
    if (std::strcmp(path, FILE_PATH) != 0) {
        return -ENOENT;
    }
    return (info->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
}

int read_file(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info*) {
    const auto length = static_cast<off_t>(size);
    if (offset < bad_offset + bad_length && offset + length > bad_offset) {
        while (stall) {
            pause();  // until the test unmounts and kills the server
        }
        return -EIO;
    }
    const ssize_t got = pread(backing_fd, buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

}  // namespace

int main(int argc, char** argv) {
    const char* const mode = argc == 6 ? argv[5] : "";
    if ((argc != 5 && argc != 6) || (argc == 6 && std::strcmp(mode, "stall") != 0)) {
        std::fprintf(stderr, "usage: %s BACKING BAD_OFFSET BAD_LENGTH MOUNTPOINT [stall]\n",
                     argv[0]);
        return 2;
    }
    backing_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (backing_fd < 0 || fstat(backing_fd, &info) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    backing_size = info.st_size;
    bad_offset = static_cast<off_t>(std::strtoll(argv[2], nullptr, 0));
    bad_length = static_cast<off_t>(std::strtoll(argv[3], nullptr, 0));
    stall = std::strcmp(mode, "stall") == 0;

    static struct fuse_operations operations {};
    operations.getattr = get_attributes;
    operations.readdir = read_folder;
    operations.open = open_file;
    operations.read = read_file;
    // Foreground, with a thread per request, so that a stalled read does not
    // hold up the others (a close's flush); readable by every user, so that
    // tests can run the tool as another user on it.
    char name[] = "failing_fs";
    char foreground[] = "-f";
    char option[] = "-o";
    char others[] = "allow_other,ro";
    char* fuse_argv[] = {name, foreground, option, others, argv[4], nullptr};
    return fuse_main(5, fuse_argv, &operations, nullptr);
}
