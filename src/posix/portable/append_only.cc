// SPDX-License-Identifier: GPL-2.0-or-later
// Without the Linux extra: no folder is known to be append-only; in one, a run
// fails at the rename ("Could not open output file") and its pending file stays.
#include "posix/linux_extras.h"

namespace unlzon::linux_extras {

bool is_append_only(int folder) {
    (void)folder;
    return false;
}

}  // namespace unlzon::linux_extras
