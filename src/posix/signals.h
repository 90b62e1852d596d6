// SPDX-License-Identifier: GPL-2.0-or-later
// Every signal handler the run installs, and the order in which they act.
//
// Two handlers, each installed here alone:
//
//  1. The cleanup. Every signal whose default action ends the process
//     (fatal_signals(): SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,
//     SIGUSR2, SIGIO, SIGPROF, SIGVTALRM, SIGPWR, SIGSTKFLT, SIGXCPU, SIGSYS,
//     SIGTRAP, the real-time signals where the system has them, and the crash
//     signals SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT) first removes the
//     named pending output, then ends the run as its default action would,
//     with the same status or core dump. It is installed when the run
//     registers its first named pending file: until then nothing needs
//     removing, and a signal keeps its default action, which also ends a read
//     that waits on a hung file server (with a handler installed, the kernel
//     would wait for the server instead). Signals that were ignored at start
//     (nohup) stay ignored, and a sanitizer's own handlers are left in place.
//     SIGPIPE and SIGXFSZ are ignored from the start instead (a write error:
//     ignore_write_signals), and SIGKILL and SIGSTOP cannot be caught.
//
//  2. The fault guard, on SIGSEGV and SIGBUS, only while the decoder runs
//     (decode_guarding_faults), on top of whatever action those signals had,
//     which it gives back afterwards. It acts in this order:
//       a. a fault signal sent by another process (si_code <= 0) is no fault:
//          it gets the action from before the guard (the cleanup, the
//          default, or nothing if it was ignored);
//       b. SIGSEGV at the image window's front is the window's: the window
//          writes its oldest chunk and moves its pages to the front, or maps
//          fresh ones there (image_window);
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
// still removes the pending file. They call only async-signal-safe system
// calls that take no lock of the C library's (write, mremap, mmap, madvise,
// unlinkat, sigaction, signal, raise) and read only state published by a
// lock-free atomic or a volatile sig_atomic_t. The run has one thread.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode_outcome.h"

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

/// Run `decoder` on the payload and the image under the fault guard (see
/// above): SIGSEGV and SIGBUS are unblocked for its duration, whatever mask
/// the process was started with, and their previous actions and the mask are
/// given back afterwards. The decoder's outcome, or payload_unreadable or
/// no_memory (the window stuck) when the guard left it midway.
decode_outcome decode_guarding_faults(const fault_watch& watch, demo_decoder decoder,
                                      const unsigned char* payload, std::uint32_t in_size,
                                      unsigned char* image, std::uint32_t out_size);

}  // namespace unlzon::posix
