// SPDX-License-Identifier: GPL-2.0-or-later
// The ways into the core that only the tests and the fuzz target take: a
// pending file that always has a name, and a demo opened by its whole path.
#pragma once

#include <optional>
#include <string>

#include "folder.h"
#include "input_file.h"
#include "output_file.h"

namespace unlzon {

struct test_access {
    /// A pending output that always has a temporary name, never unnamed.
    static std::optional<pending_output> create_named(const demo_folder& folder,
                                                      const std::string& name,
                                                      const file_origin& origin) {
        return pending_output::create_in_folder(folder, name, origin, false);
    }
    /// The demo at a whole path (UTF-8).
    static std::optional<input_file> open_input(const char* path) {
        std::string name;
        const std::optional<demo_folder> folder = demo_folder::open_parent(path, name);
        return folder ? input_file::open(*folder, name) : std::nullopt;
    }
};

}  // namespace unlzon
