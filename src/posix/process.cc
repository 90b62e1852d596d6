// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "posix/interrupts.h"

namespace unlzon {

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

}  // namespace unlzon
