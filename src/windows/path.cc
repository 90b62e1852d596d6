// SPDX-License-Identifier: GPL-2.0-or-later
#include "windows/path.h"

#include <windows.h>

#include <cstdint>

namespace unlzon::windows {

bool widen(const std::string& path, std::wstring& wide) {
    wide.clear();
    if (path.empty()) {
        return true;
    }
    if (path.size() > static_cast<std::size_t>(INT32_MAX)) {
        return false;
    }
    const int length = static_cast<int>(path.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    wide.resize(static_cast<std::size_t>(needed));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), length, wide.data(),
                               needed) == needed;
}

}  // namespace unlzon::windows
