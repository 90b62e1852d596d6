// SPDX-License-Identifier: GPL-2.0-or-later
// The pending-file side of posix/signals.h where no signal ever reaches the
// program: in a browser nothing sends one, and under node a signal goes to
// node, which dies of it or queues it for its event loop, never to a handler
// of the program (and the program runs to its end before the loop turns).
// So there is nothing to hold back and no handler to install; a named pending
// file left by a signal under node stays, as after SIGKILL natively.
#include "posix/signals.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace unlzon::posix {

namespace {

char pending_name[NAME_MAX + 1];
int pending_folder = -1;
bool pending_registered = false;

}  // namespace

interrupt_blocker::interrupt_blocker() {
    (void)sigemptyset(&previous_);
}

interrupt_blocker::~interrupt_blocker() = default;

void register_pending_name(int folder, const char* name) {
    std::strncpy(pending_name, name, NAME_MAX);
    pending_name[NAME_MAX] = '\0';
    pending_folder = folder;
    pending_registered = true;
}

void unregister_pending_name() {
    pending_registered = false;
}

void remove_pending_file() noexcept {
    if (pending_registered) {
        pending_registered = false;
        (void)unlinkat(pending_folder, pending_name, 0);
    }
}

}  // namespace unlzon::posix
