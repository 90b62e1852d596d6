// SPDX-License-Identifier: GPL-2.0-or-later
// The fatal signals and the one pending file they must remove.
//
// Every signal whose default action ends the process (SIGHUP, SIGINT,
// SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGIO, SIGPROF, SIGVTALRM,
// SIGPWR, SIGSTKFLT, SIGXCPU, SIGSYS, SIGTRAP, the real-time signals, and the
// crash signals SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT) ends the run as
// its default action would, but first removes the named pending output, if
// one is registered. SIGPIPE and SIGXFSZ are ignored by the tool instead (a
// write error), SIGKILL and SIGSTOP cannot be caught, and signals that were
// ignored at start (nohup, background jobs) stay ignored.
//
// The handlers are installed only when the run first registers a named file.
// Until then nothing needs removing, and a signal keeps its default action,
// which also ends a read that waits on a hung file server: with a handler
// installed, the kernel would wait for the server instead.
#pragma once

#include <signal.h>

namespace unlzon::posix {

/// Holds every fatal signal back for its
/// lifetime, so that a file can be created and registered, or renamed and
/// unregistered, with no moment in between. Only for short steps that cannot
/// wait indefinitely: a memory fault inside them ends the process unhandled.
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
/// first call catches the fatal signals whose action is still the default
/// one (not ignored, and not taken over by a sanitizer).
void register_pending_name(int folder, const char* name);

/// Stop removing the registered name.
void unregister_pending_name();

/// Remove the registered pending file now and unregister it; nothing if none
/// is registered. Async-signal-safe: for a signal handler of the run's own
/// (a memory fault, a crash) to call before it restores the default action
/// and lets the process die.
void remove_pending_file() noexcept;

}  // namespace unlzon::posix
