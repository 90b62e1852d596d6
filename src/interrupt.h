// SPDX-License-Identifier: GPL-2.0-or-later
// Removal of a partial output file when the run is interrupted.
//
// While a file is armed, SIGINT, SIGTERM and SIGHUP remove it and then end
// the process by the same signal with its default action, so that the caller
// still sees how the process died. Signals that were ignored when arming
// (nohup, background jobs) stay ignored. Outside an armed stretch the
// signals keep their default behaviour. One file at a time.
#pragma once

#include <signal.h>

namespace unlzon {

/// Holds SIGINT, SIGTERM and SIGHUP back for its lifetime, so that a file
/// can be created and armed with no moment in between.
class interrupt_blocker {
  public:
    interrupt_blocker();
    ~interrupt_blocker();
    interrupt_blocker(const interrupt_blocker&) = delete;
    interrupt_blocker& operator=(const interrupt_blocker&) = delete;

  private:
    sigset_t previous_;
};

/// Remove `path` if one of the signals arrives before disarm_interrupt_cleanup().
/// False if the path could not be copied for the handler; nothing is armed then.
bool arm_interrupt_cleanup(const char* path);

/// Stop removing the armed file and restore the signals' earlier actions.
void disarm_interrupt_cleanup();

}  // namespace unlzon
