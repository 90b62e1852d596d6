// SPDX-License-Identifier: GPL-2.0-or-later
// The one signal handler the run installs: the cleanup of a named pending
// output.
//
// Every signal whose default action ends the process (fatal_signals():
// SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGIO, SIGPROF,
// SIGVTALRM, SIGPWR, SIGSTKFLT, SIGXCPU, SIGSYS, SIGTRAP, the real-time
// signals where the system has them, and the crash signals SIGSEGV, SIGBUS,
// SIGILL, SIGFPE and SIGABRT) first removes the named pending output, then
// ends the run as its default action would, with the same status or core
// dump. It is installed when the run registers its first named pending file:
// until then nothing needs removing, and a signal keeps its default action,
// which also ends a read that waits on a hung file server (with a handler
// installed, the kernel would wait for the server instead). Signals that were
// ignored at start (nohup) stay ignored, and a sanitizer's own handlers are
// left in place. SIGPIPE and SIGXFSZ are ignored from the start instead (a
// write error: ignore_write_signals), and SIGKILL and SIGSTOP cannot be
// caught.
//
// The handler calls only async-signal-safe system calls (unlinkat, signal,
// raise) and reads only state published by a lock-free atomic. The run has
// one thread.
#pragma once

#include <signal.h>

#include <vector>

namespace unlzon::posix {

/// Every signal that the cleanup takes over (see above), in one list.
std::vector<int> fatal_signals();

/// Ignore SIGPIPE and SIGXFSZ, so that a closed pipe or a file-size limit is
/// a write error the run reports rather than a death; call once, at start.
void ignore_write_signals();

/// Holds every fatal signal back for its lifetime, so that a file can be
/// created and registered, or renamed and unregistered, with no moment in
/// between. Only for short steps that cannot wait indefinitely: a memory
/// fault inside them ends the process unhandled.
class interrupt_blocker {
  public:
    interrupt_blocker();
    ~interrupt_blocker();
    interrupt_blocker(const interrupt_blocker&) = delete;
    interrupt_blocker& operator=(const interrupt_blocker&) = delete;

  private:
    sigset_t previous_;
};

/// Have a fatal signal remove `name` (at most NAME_MAX bytes) from the folder
/// open as `folder`, until unregister_pending_name(). One name at a time. The
/// first call installs the cleanup (see above).
void register_pending_name(int folder, const char* name);

/// Stop removing the registered name.
void unregister_pending_name();

/// Remove the registered pending file now and unregister it; nothing if none
/// is registered. Async-signal-safe.
void remove_pending_file() noexcept;

}  // namespace unlzon::posix
