// SPDX-License-Identifier: GPL-2.0-or-later
#include "input_file.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "windows/path.h"

namespace unlzon {

namespace {

HANDLE handle_of(const native_file& file) {
    return reinterpret_cast<HANDLE>(file.get());
}

}  // namespace

std::optional<input_file> input_file::open(const demo_folder& folder, const std::string& name) {
    std::wstring wide;
    if (name.empty() || !windows::widen(folder.prefix() + name, wide)) {
        return std::nullopt;
    }
    // Others may keep reading, writing or renaming the demo meanwhile, as on
    // POSIX. Without FILE_FLAG_BACKUP_SEMANTICS a folder does not open.
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    native_file file(reinterpret_cast<native_file::handle_type>(handle));
    // A console, the null device or a pipe opens too, but has no positions.
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size) ||
        size.QuadPart < 0 || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    // Windows has no permission bits; the read-only attribute is the nearest.
    file_origin origin;
    origin.permissions = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    origin.device = info.dwVolumeSerialNumber;
    origin.inode = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return input_file(std::move(file), static_cast<std::uint64_t>(size.QuadPart), origin);
}

read_status input_file::read_at(std::uint64_t offset, void* dest, std::size_t count) const {
    auto* out = static_cast<unsigned char*>(dest);
    while (count > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
            return read_status::end_of_file;
        }
        const std::size_t chunk = std::min(count, native_file::MAX_TRANSFER);
        // On a handle opened for synchronous I/O, the offset in OVERLAPPED
        // makes the read positioned, whatever earlier reads did.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle_of(file_), out, static_cast<DWORD>(chunk), &got, &at)) {
            return GetLastError() == ERROR_HANDLE_EOF ? read_status::end_of_file
                                                      : read_status::error;
        }
        if (got == 0) {
            return read_status::end_of_file;
        }
        out += got;
        count -= got;
        offset += got;
    }
    return read_status::ok;
}

}  // namespace unlzon
