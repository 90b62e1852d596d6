// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of the pending output that are the same on every system; the
// system's own ways are in posix/ and windows/.
#include "output_file.h"

#include <utility>

namespace unlzon {

std::optional<pending_output> pending_output::create(const std::string& path,
                                                     std::uint32_t permissions) {
    return create_in_folder(path, permissions, true);
}

std::optional<pending_output> pending_output::create_named(const std::string& path,
                                                           std::uint32_t permissions) {
    return create_in_folder(path, permissions, false);
}

pending_output::pending_output(pending_output&& other) noexcept
    : folder_(std::move(other.folder_)),
      file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      temp_name_(std::exchange(other.temp_name_, {})),
      committed_(std::exchange(other.committed_, true)) {}

pending_output::~pending_output() {
    discard();
}

}  // namespace unlzon
