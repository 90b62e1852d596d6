// SPDX-License-Identifier: GPL-2.0-or-later
#include "native_file.h"

#include <unistd.h>

namespace unlzon {

bool native_file::close() {
    if (!is_open()) {
        return true;
    }
    // Retrying after EINTR could close a descriptor that another open took.
    return ::close(static_cast<int>(std::exchange(handle_, INVALID))) == 0;
}

}  // namespace unlzon
