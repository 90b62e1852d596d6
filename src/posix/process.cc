// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "posix/interrupts.h"

namespace unlzon {

namespace {

sigjmp_buf memory_fault_exit;
std::atomic<bool> memory_fault_armed{false};
// The action the guard replaced, for a SIGBUS that another process sends.
struct sigaction action_before_guard {};

extern "C" void leave_on_memory_fault(int signal_number, siginfo_t* info, void* context) {
    (void)context;
    // Only the kernel's own report of a fault (si_code > 0) means the view
    // was cut short; `kill -BUS` says nothing about the demo and gets the
    // action it would have had without the guard.
    if (info->si_code <= 0) {
        if ((action_before_guard.sa_flags & SA_SIGINFO) == 0 &&
            action_before_guard.sa_handler == SIG_IGN) {
            return;
        }
        memory_fault_armed.store(false);
        // Still blocked here, it is delivered under that action on return.
        (void)sigaction(signal_number, &action_before_guard, nullptr);
        (void)raise(signal_number);
        return;
    }
    if (memory_fault_armed.load()) {
        siglongjmp(memory_fault_exit, 1);
    }
    // A fault outside the guarded work is a crash: it ends the run as the
    // other fatal signals do.
    posix::remove_pending_file();
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

// A descriptor that stands in for /dev/null where there is none (an empty
// /dev in a container): reading it gives the end of the file, and writes to
// it succeed and are dropped. -1 if the system has no descriptor to spare.
int null_substitute(bool reading) {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    if (reading) {
        (void)close(ends[1]);  // empty, with no writer: the end of the file
        return ends[0];
    }
    // The reader stays open, above the standard numbers, so that writes do
    // not fail as on a closed pipe; the tool prints far less than a pipe
    // holds, and O_NONBLOCK turns a full pipe into a write error, not a hang.
    const int reader = fcntl(ends[0], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    (void)close(ends[0]);
    if (reader < 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
        (void)close(ends[1]);
        if (reader >= 0) {
            (void)close(reader);
        }
        return -1;
    }
    return ends[1];
}

// Put something harmless under the closed standard descriptor `fd`; false if
// nothing could be put there. Earlier numbers may still be free, so the
// result is moved to exactly `fd`.
bool occupy_standard_descriptor(int fd) {
    const bool reading = fd == STDIN_FILENO;
    int got = open("/dev/null", reading ? O_RDONLY : O_WRONLY);
    if (got < 0) {
        got = null_substitute(reading);
    }
    if (got < 0) {
        return false;
    }
    if (got == fd) {
        return true;
    }
    const bool moved = dup2(got, fd) == fd;
    (void)close(got);
    return moved;
}

}  // namespace

process_status prepare_process() {
    bool taken[3] = {true, true, true};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            taken[fd] = occupy_standard_descriptor(fd);
        }
    }
    // The error line must reach standard error even when standard output is
    // a closed pipe, and a file-size limit is a write error like a full disk.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    if (!taken[STDERR_FILENO]) {
        return process_status::no_standard_error;
    }
    return taken[STDOUT_FILENO] ? process_status::ready : process_status::no_standard_output;
}

bool run_guarding_file_memory(const std::function<void()>& work) {
    struct sigaction action {};
    action.sa_sigaction = leave_on_memory_fault;
    action.sa_flags = SA_SIGINFO;
    (void)sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &action_before_guard) != 0) {
        return false;
    }
    // Volatile: after siglongjmp, only volatile locals changed since sigsetjmp
    // have a determinate value; GCC otherwise may store `true` before work().
    volatile bool completed = false;
    // The mask is saved and restored: SIGBUS stays blocked inside the handler.
    if (sigsetjmp(memory_fault_exit, 1) == 0) {
        memory_fault_armed.store(true);
        work();
        completed = true;
    }
    memory_fault_armed.store(false);
    (void)sigaction(SIGBUS, &action_before_guard, nullptr);
    return completed;
}

}  // namespace unlzon
