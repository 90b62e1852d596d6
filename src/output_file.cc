// SPDX-License-Identifier: GPL-2.0-or-later
// The parts of the pending output that are the same on every system; the
// system's own ways are in posix/ and windows/.
#include "output_file.h"

#include <utility>

namespace unlzon {

std::optional<pending_output> pending_output::create(const demo_folder& folder,
                                                     const std::string& name,
                                                     const file_origin& origin) {
    return create_in_folder(folder, name, origin, true);
}

pending_output::pending_output(pending_output&& other) noexcept
    : folder_(other.folder_),
      file_(std::move(other.file_)),
      name_(std::move(other.name_)),
      temp_name_(std::exchange(other.temp_name_, {})),
      origin_(other.origin_),
      append_only_(other.append_only_),
      committed_(std::exchange(other.committed_, true)) {}

pending_output::~pending_output() {
    discard();
}

output_status pending_output::write(const unsigned char* data, std::size_t count) {
    return write_all(file_.get(), data, count) == 0 ? output_status::ok
                                                    : output_status::cannot_write;
}

}  // namespace unlzon
