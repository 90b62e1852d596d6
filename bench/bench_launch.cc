// SPDX-License-Identifier: GPL-2.0-or-later
// bench_launch: run one command and report its wall time and resource use.
//
//   bench_launch [--log FILE] PROGRAM [ARG...]
//
// Prints one line on standard output:
//   wall_ns=N maxrss_kib=N user_us=N sys_us=N minflt=N majflt=N status=exit:N|signal:N
// The command's standard output and error go to FILE (default /dev/null). The
// exit status is 0 whenever the command could be started and waited for, so
// the command's own status is read from the line; 127 means it could not.
//
// This program exists to keep the figures clean: Linux carries the high-water
// RSS of the process that calls exec into the child's ru_maxrss, so the caller
// must be small (a Python interpreter is not), and the clock is read here
// rather than in the caller so that its start-up costs are not counted.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int LAUNCH_FAILED = 127;

long long microseconds(const timeval& t) {
    return static_cast<long long>(t.tv_sec) * 1000000LL + static_cast<long long>(t.tv_usec);
}

long long nanoseconds(const timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + static_cast<long long>(t.tv_nsec);
}

int usage() {
    std::fprintf(stderr, "usage: bench_launch [--log FILE] PROGRAM [ARG...]\n");
    return LAUNCH_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    const char* log_path = "/dev/null";
    if (argc > 2 && std::strcmp(argv[1], "--log") == 0) {
        log_path = argv[2];
        first = 3;
    }
    if (first >= argc) {
        return usage();
    }
    // Opened before the clock starts, so the child only has to dup it.
    const int log_fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        std::fprintf(stderr, "bench_launch: cannot open %s: %s\n", log_path, std::strerror(errno));
        return LAUNCH_FAILED;
    }
    (void)std::fflush(stdout);

    timespec start{};
    timespec end{};
    (void)clock_gettime(CLOCK_MONOTONIC, &start);
    // Plain fork rather than vfork or posix_spawn: the child's exec then
    // starts from this small process's own RSS, not from a shared one.
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "bench_launch: fork: %s\n", std::strerror(errno));
        return LAUNCH_FAILED;
    }
    if (child == 0) {
        if (dup2(log_fd, STDOUT_FILENO) < 0 || dup2(log_fd, STDERR_FILENO) < 0) {
            _exit(LAUNCH_FAILED);
        }
        execvp(argv[first], argv + first);
        // The log now is stderr; the caller shows it when a run fails.
        std::fprintf(stderr, "bench_launch: cannot run %s: %s\n", argv[first],
                     std::strerror(errno));
        _exit(LAUNCH_FAILED);
    }
    int status = 0;
    rusage usage_info{};
    pid_t waited = 0;
    do {
        waited = wait4(child, &status, 0, &usage_info);
    } while (waited < 0 && errno == EINTR);
    (void)clock_gettime(CLOCK_MONOTONIC, &end);
    if (waited < 0) {
        std::fprintf(stderr, "bench_launch: wait4: %s\n", std::strerror(errno));
        return LAUNCH_FAILED;
    }

    const bool signalled = WIFSIGNALED(status);
    std::printf(
        "wall_ns=%lld maxrss_kib=%ld user_us=%lld sys_us=%lld minflt=%ld majflt=%ld "
        "status=%s:%d\n",
        nanoseconds(end) - nanoseconds(start), usage_info.ru_maxrss,
        microseconds(usage_info.ru_utime), microseconds(usage_info.ru_stime), usage_info.ru_minflt,
        usage_info.ru_majflt, signalled ? "signal" : "exit",
        signalled ? WTERMSIG(status) : WEXITSTATUS(status));
    return std::fflush(stdout) == 0 ? 0 : LAUNCH_FAILED;
}
