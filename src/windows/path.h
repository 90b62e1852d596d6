// SPDX-License-Identifier: GPL-2.0-or-later
// Paths in UTF-8, as the rest of the tool holds them, in the system's wide
// strings, as every Windows call that takes a name wants them.
#pragma once

#include <string>

namespace unlzon::windows {

/// `path` (UTF-8) as UTF-16; false if it is not valid UTF-8.
bool widen(const std::string& path, std::wstring& wide);

}  // namespace unlzon::windows
