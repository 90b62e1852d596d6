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

extern "C" void leave_on_memory_fault(int signal_number) {
    if (memory_fault_armed.load()) {
        siglongjmp(memory_fault_exit, 1);
    }
    // A fault outside the guarded work is a crash: it ends the run as the
    // other fatal signals do.
    posix::remove_pending_file();
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

}  // namespace

bool prepare_process() {
    // In order 0, 1, 2: open() takes the lowest free number, so each reopened
    // stream gets back exactly its own.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int reopened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (reopened != fd) {
                return false;
            }
        }
    }
    // The error line must reach standard error even when standard output is
    // a closed pipe, and a file-size limit is a write error like a full disk.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    posix::install_interrupt_handlers();
    return true;
}

bool run_guarding_file_memory(const std::function<void()>& work) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = leave_on_memory_fault;
    (void)sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &previous) != 0) {
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
    (void)sigaction(SIGBUS, &previous, nullptr);
    return completed;
}

}  // namespace unlzon
