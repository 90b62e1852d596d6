// SPDX-License-Identifier: GPL-2.0-or-later
// The folder a run works in: the one that holds the demo and receives its
// image.
#pragma once

#include <optional>
#include <string>

#include "native_file.h"

namespace unlzon {

/// The folder named by everything before the last separator of a path (the
/// working folder when there is none), resolved once and held open, so that
/// the input, the pending output and the output's name all stay in the folder
/// the path named when the run began, even if a folder on the path is renamed
/// or replaced by a link meanwhile. Move-only.
class demo_folder {
  public:
    /// Open the folder part of `path` (UTF-8) and store the last part, the
    /// file's name within it, in `name`; nullopt if the folder cannot be
    /// opened or the path ends in a separator.
    static std::optional<demo_folder> open_parent(const char* path, std::string& name);

    /// The open folder (POSIX: a descriptor that openat() and friends take).
    const native_file& handle() const { return handle_; }

    /// The folder as the path gave it, with its trailing separator; empty
    /// for the working folder. Only for systems that name files by path.
    const std::string& prefix() const { return prefix_; }

  private:
    demo_folder(native_file handle, std::string prefix)
        : handle_(std::move(handle)), prefix_(std::move(prefix)) {}

    native_file handle_;
    std::string prefix_;
};

}  // namespace unlzon
