// SPDX-License-Identifier: GPL-2.0-or-later
#include "native_file.h"

#include <windows.h>

#include <algorithm>

namespace unlzon {

bool native_file::close() {
    if (!is_open()) {
        return true;
    }
    return CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, INVALID))) != 0;
}

int write_all(native_file::handle_type handle, const void* data, std::size_t count) noexcept {
    const auto* in = static_cast<const unsigned char*>(data);
    while (count > 0) {
        DWORD put = 0;
        const auto chunk = static_cast<DWORD>(std::min(count, native_file::MAX_TRANSFER));
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), in, chunk, &put, nullptr)) {
            return static_cast<int>(GetLastError());
        }
        if (put == 0) {
            return static_cast<int>(ERROR_HANDLE_DISK_FULL);
        }
        in += put;
        count -= put;
    }
    return 0;
}

}  // namespace unlzon
