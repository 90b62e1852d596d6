// SPDX-License-Identifier: GPL-2.0-or-later
#include "process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "posix/signals.h"

namespace unlzon {

namespace {

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
    posix::ignore_write_signals();
    if (!taken[STDERR_FILENO]) {
        return process_status::no_standard_error;
    }
    return taken[STDOUT_FILENO] ? process_status::ready : process_status::no_standard_output;
}

}  // namespace unlzon
