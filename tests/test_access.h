// SPDX-License-Identifier: GPL-2.0-or-later
// The ways into the core that only the tests and the fuzz target take: the
// whole-image way and what a window holds, a pending file that always has a
// name, and a demo opened by its whole path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "folder.h"
#include "image_window.h"
#include "input_file.h"
#include "output_file.h"

namespace unlzon {

struct test_access {
    /// An image window that holds the whole image in memory, as where no
    /// window can be had.
    static std::optional<image_window> whole_window(std::uint32_t out_size,
                                                    image_window::sink_type sink) {
        return image_window::create_whole(out_size, sink);
    }
    /// The whole image, or null when only a window of it is memory.
    static const unsigned char* whole_image(const image_window& window) {
        return window.whole_ ? window.whole_->data() : nullptr;
    }
    /// True when only a window of the image is memory.
    static bool windowed(const image_window& window) { return window.pages_ != nullptr; }
    /// The memory that holds decoded bytes, in bytes.
    static std::size_t resident_bytes(const image_window& window) {
        return window.resident_bytes();
    }
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
