// SPDX-License-Identifier: GPL-2.0-or-later
// rand_s is declared only for this, and only if set before any C header.
#define _CRT_RAND_S

#include "output_file.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "windows/interrupts.h"
#include "windows/path.h"

namespace unlzon {

namespace {

constexpr int NAME_ATTEMPTS = 100;

HANDLE handle_of(const native_file& file) {
    return reinterpret_cast<HANDLE>(file.get());
}

// An unpredictable hidden name: another user of a shared folder can neither
// guess it in advance nor have planted it.
std::string temporary_name() {
    static constexpr char ALPHABET[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".unlzon-";
    for (int i = 0; i < 16; ++i) {
        unsigned int noise = 0;
        if (rand_s(&noise) != 0) {
            // Only uniqueness matters here; CREATE_NEW makes a collision harmless.
            noise = static_cast<unsigned int>(GetTickCount()) * 2654435761u +
                    static_cast<unsigned int>(GetCurrentProcessId()) + static_cast<unsigned int>(i);
        }
        name += ALPHABET[noise % (sizeof ALPHABET - 1)];
    }
    return name;
}

// Whether a failed step lost data or was refused a name.
output_status status_of_error(DWORD error) {
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_FILE_TOO_LARGE:
        case ERROR_CRC:
        case ERROR_WRITE_FAULT:
        case ERROR_IO_DEVICE:
            return output_status::cannot_write;
        default:
            return output_status::cannot_create;
    }
}

bool is_folder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// True when `path` is the file `origin` describes, under another name.
bool is_the_demo(const std::wstring& path, const file_origin& origin) {
    const HANDLE handle =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const native_file standing(reinterpret_cast<native_file::handle_type>(handle));
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           info.dwVolumeSerialNumber == origin.device &&
           (std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) == origin.inode;
}

bool set_delete_on_close(HANDLE file, bool value) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = value ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

}  // namespace

std::optional<pending_output> pending_output::create_in_folder(const demo_folder& folder,
                                                               const std::string& name,
                                                               const file_origin& origin,
                                                               bool /*allow_unnamed*/) {
    // Windows has neither unnamed files nor permission bits: the image gets
    // the folder's inherited access rights, and a pending file marked for
    // deletion on close stands in for an unnamed one.
    const std::string path = folder.prefix() + name;
    std::wstring wide_path;
    if (name.empty() || !windows::widen(path, wide_path) || is_folder(wide_path)) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::string temp_name = folder.prefix() + temporary_name();
        std::wstring wide_temp;
        if (!windows::widen(temp_name, wide_temp)) {
            return std::nullopt;
        }
        // Created and registered for removal with no control event in between.
        const windows::control_blocker hold;
        // DELETE and FILE_SHARE_DELETE: the open file can be marked for
        // deletion, deleted by name and renamed.
        const HANDLE handle =
            CreateFileW(wide_temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            return std::nullopt;
        }
        native_file file(reinterpret_cast<native_file::handle_type>(handle));
        // Marked so, the file goes when its handle closes, however the
        // process ends: even TerminateProcess leaves nothing behind.
        windows::register_pending_file(wide_temp, set_delete_on_close(handle, true));
        return pending_output(folder, std::move(file), path, std::move(temp_name), origin, false);
    }
    return std::nullopt;
}

void pending_output::discard() noexcept {
    if (!committed_ && !temp_name_.empty()) {
        const windows::control_blocker hold;
        std::wstring wide_temp;
        // Deleted by name while still open (FILE_SHARE_DELETE), the file goes
        // at the close; if it was marked already, this changes nothing.
        if (windows::widen(temp_name_, wide_temp)) {
            (void)DeleteFileW(wide_temp.c_str());
        }
        (void)file_.close();
        windows::unregister_pending_file();
    }
    (void)file_.close();
    committed_ = true;  // nothing left to discard
}

output_status pending_output::extend_to(std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(handle_of(file_), FileEndOfFileInfo, &end, sizeof end) != 0
               ? output_status::ok
               : output_status::cannot_write;
}

output_status pending_output::commit() {
    std::wstring wide_temp;
    std::wstring wide_name;
    if (!windows::widen(temp_name_, wide_temp) || !windows::widen(name_, wide_name)) {
        return output_status::cannot_create;
    }
    // Renamed and unregistered with no control event in between.
    const windows::control_blocker hold;
    if (windows::pending_file_deleted_on_close() && !set_delete_on_close(handle_of(file_), false)) {
        return output_status::cannot_write;
    }
    // The demo itself can stand at the name (a hard link): the image must not
    // take its place.
    if (is_the_demo(wide_name, origin_)) {
        return output_status::cannot_create;
    }
    // A read-only file at the name is refused, as Windows itself refuses to
    // replace one (Wine would not), and so is one open without delete sharing.
    const DWORD standing = GetFileAttributesW(wide_name.c_str());
    if (standing != INVALID_FILE_ATTRIBUTES && (standing & FILE_ATTRIBUTE_READONLY) != 0) {
        return output_status::cannot_create;
    }
    // Renamed while still open, so that the file is never without either its
    // deletion mark or its final name.
    if (!MoveFileExW(wide_temp.c_str(), wide_name.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        if (windows::pending_file_deleted_on_close()) {
            (void)set_delete_on_close(handle_of(file_), true);
        }
        return status_of_error(error);
    }
    windows::unregister_pending_file();
    committed_ = true;
    // Write errors surface at WriteFile; CloseHandle fails only for a handle
    // that is not open, and the image is complete and named either way.
    (void)file_.close();
    return output_status::ok;
}

}  // namespace unlzon
