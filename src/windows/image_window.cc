// SPDX-License-Identifier: GPL-2.0-or-later
// The image on Windows: the whole image in memory, written after the decoder
// call. Windows can neither move pages within a reserved range (no mremap)
// nor retry a store from a handler as cheaply, so there is no window.
#include <windows.h>

#include <algorithm>

#include "image_window.h"

namespace unlzon {

bool image_window::reserve() noexcept {
    return false;
}

void image_window::release() noexcept {}

void image_window::stop_handling() noexcept {}

decode_result image_window::decode_in_window(const unsigned char* payload, std::uint32_t in_size) {
    // Never reached: reserve() never makes a window here.
    return decode_demo_payload(payload, in_size, whole_->data(), out_size_);
}

bool image_window::follow_front(const void* address) noexcept {
    (void)address;
    return false;
}

int image_window::write_all(sink_type sink, const unsigned char* data, std::size_t count) noexcept {
    while (count > 0) {
        DWORD put = 0;
        const auto chunk = static_cast<DWORD>(std::min(count, native_file::MAX_TRANSFER));
        if (!WriteFile(reinterpret_cast<HANDLE>(sink), data, chunk, &put, nullptr)) {
            return static_cast<int>(GetLastError());
        }
        if (put == 0) {
            return static_cast<int>(ERROR_HANDLE_DISK_FULL);
        }
        data += put;
        count -= put;
    }
    return 0;
}

}  // namespace unlzon
