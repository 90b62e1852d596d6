// SPDX-License-Identifier: GPL-2.0-or-later
// The interrupt signals and the one pending file they must remove.
//
// SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1, SIGUSR2 and SIGXCPU end the run
// as their default action would, but first remove the named pending output,
// if one is registered. Signals that were ignored at start (nohup, background
// jobs) stay ignored.
#pragma once

#include <signal.h>

namespace unlzon::posix {

/// Catch the interrupt signals that are not ignored; call once, at start.
void install_interrupt_handlers();

/// Holds the interrupt signals back for its lifetime, so that a file can be
/// created and registered, or renamed and unregistered, with no moment in
/// between. Only for stretches that cannot wait indefinitely.
class interrupt_blocker {
  public:
    interrupt_blocker();
    ~interrupt_blocker();
    interrupt_blocker(const interrupt_blocker&) = delete;
    interrupt_blocker& operator=(const interrupt_blocker&) = delete;

  private:
    sigset_t previous_;
};

/// Have an interrupt remove `name` (at most NAME_MAX bytes) from the folder
/// open as `folder`, until unregister_pending_name(). One name at a time.
void register_pending_name(int folder, const char* name);

/// Stop removing the registered name.
void unregister_pending_name();

}  // namespace unlzon::posix
