// SPDX-License-Identifier: GPL-2.0-or-later
// Every signal handler the run installs, and the order in which they act.
//
// Two handlers, each installed here alone:
//
//  1. The cleanup. Every signal whose default action ends the process
//     (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGIO,
//     SIGPROF, SIGVTALRM, SIGPWR, SIGSTKFLT, SIGXCPU, SIGSYS, SIGTRAP, the
//     real-time signals, and the crash signals SIGSEGV, SIGBUS, SIGILL, SIGFPE
//     and SIGABRT) first removes the named pending output, then ends the run
//     as its default action would, with the same status or core dump. It is
//     installed when the run registers its first named pending file: until
//     then nothing needs removing, and a signal keeps its default action,
//     which also ends a read that waits on a hung file server (with a handler
//     installed, the kernel would wait for the server instead). Signals that
//     were ignored at start (nohup) stay ignored, and a sanitizer's own
//     handlers are left in place. SIGPIPE and SIGXFSZ are ignored by the tool
//     instead (a write error), and SIGKILL and SIGSTOP cannot be caught.
//
//  2. The fault guard, on SIGSEGV and SIGBUS, only while the decoder runs
//     (run_guarding_faults), on top of whatever action those signals had,
//     which it gives back afterwards. It acts in this order:
//       a. a fault signal sent by another process (si_code <= 0) is no fault:
//          it gets the action from before the guard (the cleanup, the
//          default, or nothing if it was ignored);
//       b. SIGSEGV at the image window's front is the window's: the window
//          writes its oldest final chunk, or hands it to its writer thread,
//          and gives the front pages, waiting for the writer if it is too far
//          behind (image_window);
//       c. SIGBUS on the payload's view of the file: the file could not
//          deliver a page (cut short, or a read error);
//       d. anything else, and any fault while the guard is already handling
//          one, is a crash: the cleanup, then the default action.
//     Outcomes b (when the window cannot move) and c leave the decoder by
//     siglongjmp. That needs no memory from the system, which is what has
//     just failed in b; mapping zeros over the page and letting the decoder
//     run on would need another mapping, which can fail the same way. The
//     decoder (liblzo2's checking LZO1X decoder) takes no lock, allocates
//     nothing and calls no function, so leaving it midway is sound; the
//     frames the jump skips hold nothing with a destructor.
//
// Both handlers run on an alternate signal stack, so that a stack overflow
// still removes the pending file, and both call only system calls that take
// no lock of the C library's (write, read, mremap, mmap, munmap, unlinkat,
// sigaction, raise, sigprocmask) and read only state published by lock-free
// atomics or volatile sig_atomic_t.
//
// The one other thread a run may have, the image window's writer, is created
// with every signal blocked: each signal reaches the decoding thread, which
// runs these handlers, also while it waits for the writer or the writer
// writes.
#pragma once

#include <signal.h>

#include <cstddef>

namespace unlzon::posix {

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

/// What the image window answers for a SIGSEGV at an address.
enum class window_step {
    moved,           // the window now covers the address: retry the store
    not_the_window,  // the address is none of the window's
    failed,          // the window's, but its pages could not be moved
};

/// What the fault guard watches while its work runs.
struct fault_watch {
    const void* view = nullptr;  // a read-only view of a file: SIGBUS there is the file's
    std::size_t view_size = 0;
    // Called in the handler for a SIGSEGV at `address`; async-signal-safe.
    // Null where there is no window.
    window_step (*follow)(void* window, const void* address) noexcept = nullptr;
    void* window = nullptr;
};

/// How guarded work ended.
enum class fault_outcome {
    finished,         // it ran to its end
    view_unreadable,  // a page of the view could not be read: the work was left midway
    window_stuck,     // the window could not move its pages: the work was left midway
};

/// Run `work(context)` under the fault guard (see above): SIGSEGV and SIGBUS
/// are unblocked for its duration, whatever mask the process was started
/// with, and their previous actions and the mask are given back afterwards.
/// `work` must hold nothing that needs a destructor: it may be left midway.
fault_outcome run_guarding_faults(const fault_watch& watch, void (*work)(void* context),
                                  void* context);

}  // namespace unlzon::posix
