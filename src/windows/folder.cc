// SPDX-License-Identifier: GPL-2.0-or-later
#include "folder.h"

#include <windows.h>

#include "windows/path.h"

namespace unlzon {

std::optional<demo_folder> demo_folder::open_parent(const char* path, std::string& name) {
    // The name starts after the last separator, or after a drive ("C:demo.bin"
    // is relative to that drive's folder).
    const std::string whole(path);
    const std::size_t separator = whole.find_last_of("/\\:");
    const std::size_t start = separator == std::string::npos ? 0 : separator + 1;
    name = whole.substr(start);
    std::string prefix = whole.substr(0, start);
    std::wstring wide;
    if (name.empty() || !windows::widen(prefix.empty() ? "." : prefix, wide)) {
        return std::nullopt;
    }
    // Files are still named by path on Windows; held open without delete
    // sharing, the folder can be neither renamed nor removed during the run.
    const HANDLE handle =
        CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return demo_folder(native_file(reinterpret_cast<native_file::handle_type>(handle)),
                       std::move(prefix));
}

}  // namespace unlzon
