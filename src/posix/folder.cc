// SPDX-License-Identifier: GPL-2.0-or-later
#include "folder.h"

#include <cstring>

#include "posix/linux_extras.h"

namespace unlzon {

std::optional<demo_folder> demo_folder::open_parent(const char* path, std::string& name) {
    const char* const slash = std::strrchr(path, '/');
    name = slash == nullptr ? path : slash + 1;
    if (name.empty()) {
        return std::nullopt;
    }
    std::string prefix = slash == nullptr ? std::string() : std::string(path, slash + 1);
    // Every later step goes through this descriptor, never through the path again.
    const int fd = linux_extras::open_folder(prefix.empty() ? "." : prefix.c_str());
    if (fd < 0) {
        return std::nullopt;
    }
    return demo_folder(native_file(fd), std::move(prefix));
}

}  // namespace unlzon
