// SPDX-License-Identifier: GPL-2.0-or-later
#include "folder.h"

#include <fcntl.h>

#include <cstring>

namespace unlzon {

std::optional<demo_folder> demo_folder::open_parent(const char* path, std::string& name) {
    const char* const slash = std::strrchr(path, '/');
    name = slash == nullptr ? path : slash + 1;
    if (name.empty()) {
        return std::nullopt;
    }
    std::string prefix = slash == nullptr ? std::string() : std::string(path, slash + 1);
    // O_PATH: the folder needs no read permission, only to be searched. Every
    // later step goes through this descriptor, never through the path again.
    const int fd = open(prefix.empty() ? "." : prefix.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    return demo_folder(native_file(fd), std::move(prefix));
}

}  // namespace unlzon
