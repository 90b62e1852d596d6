// SPDX-License-Identifier: GPL-2.0-or-later
#include "native_file.h"

#include <windows.h>

namespace unlzon {

bool native_file::close() {
    if (!is_open()) {
        return true;
    }
    return CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, INVALID))) != 0;
}

}  // namespace unlzon
