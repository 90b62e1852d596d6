// SPDX-License-Identifier: GPL-2.0-or-later
// Running the built program on POSIX: fork and exec with pipes, limits and
// signal dispositions applied in the child.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.h"

namespace unlzon::test {

namespace {

std::string temp_base() {
    const char* const base = std::getenv("TMPDIR");
    return base != nullptr && *base != '\0' ? base : "/tmp";
}

}  // namespace

temp_dir::temp_dir() : temp_dir(temp_base()) {}

temp_dir::temp_dir(const std::string& base) {
    std::string pattern = base + "/unlzon-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

namespace {

// Drain both pipes until the child has closed them; a child still running
// after `kill_after` seconds (if not 0) is killed.
void collect(int out_fd, int err_fd, pid_t pid, double kill_after, run_result& result) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(kill_after));
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = err_fd >= 0 ? 2 : 1;
    if (err_fd < 0) {
        fds[1].fd = -1;
    }
    char chunk[65536];
    while (open_count > 0) {
        if (kill_after > 0 && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            kill_after = 0;
        }
        if (poll(fds, 2, kill_after > 0 ? 100 : -1) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

namespace {

// In a child: a mount namespace of its own, with an empty tmpfs over /proc
// and/or /dev, invisible to every other process.
bool hide_mounts(bool proc, bool dev) {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           (!proc || mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") == 0) &&
           (!dev || mount("tmpfs", "/dev", "tmpfs", 0, "size=16k") == 0);
}

// In the child, between fork and exec: limits and signal dispositions.
void apply_options(const run_options& options) {
    if (options.file_size_limit != 0) {
        // SIGXFSZ keeps its default action: the tool itself must survive it.
        const rlimit limit{options.file_size_limit, options.file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memory_limit != 0) {
        const rlimit limit{options.memory_limit, options.memory_limit};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (options.open_files_limit != 0) {
        const rlimit limit{options.open_files_limit, options.open_files_limit};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.data_limit != 0) {
        const rlimit limit{options.data_limit, options.data_limit};
        setrlimit(RLIMIT_DATA, &limit);
    }
    if (!options.blocked_signals.empty()) {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (const int signal_number : options.blocked_signals) {
            sigaddset(&blocked, signal_number);
        }
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
    }
    // Signals that dump core must not leave a core of a large image behind.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (const int signal_number : options.ignored_signals) {
        signal(signal_number, SIG_IGN);
    }
    if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) {
        _exit(127);
    }
    switch (options.out) {
        case stdout_target::captured:
            break;
        case stdout_target::full_device:
            dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
            break;
        case stdout_target::closed_pipe: {
            int ends[2];
            if (pipe(ends) != 0) {
                _exit(127);
            }
            close(ends[0]);
            dup2(ends[1], STDOUT_FILENO);
            close(ends[1]);
            break;
        }
        case stdout_target::closed:
            close(STDOUT_FILENO);
            break;
    }
    if (options.stdin_closed) {
        close(STDIN_FILENO);
    }
    if (options.stderr_closed) {
        close(STDERR_FILENO);
    }
    if ((options.hide_proc || options.empty_dev) &&
        !hide_mounts(options.hide_proc, options.empty_dev)) {
        _exit(125);
    }
    // The program gets the three streams and nothing that the test runner
    // happened to leave open: descriptor limits must mean what they say.
    close_range(3, ~0U, 0);
    // A test that must not be root (folder permissions) runs as nobody.
    if (options.as_nobody &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
        _exit(126);
    }
}

std::vector<char*> c_args(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    return args;
}

std::vector<std::string> unlzon_argv(const std::vector<std::string>& args,
                                     const run_options& options) {
    std::vector<std::string> argv{options.as_nobody ? unlzon_for_other_users() : UNLZON_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

run_result run_program(const std::vector<std::string>& argv, const run_options& options) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args = c_args(argv);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(options.merge_streams ? out_pipe[1] : err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        apply_options(options);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (options.merge_streams) {
        close(err_pipe[0]);
        err_pipe[0] = -1;
    }
    run_result output;
    collect(out_pipe[0], err_pipe[0], pid, options.kill_after_seconds, output);
    run_result result = finish_program(pid);
    result.out = std::move(output.out);
    result.err = std::move(output.err);
    return result;
}

run_result run_unlzon(const std::vector<std::string>& args, const run_options& options) {
    return run_program(unlzon_argv(args, options), options);
}

int start_unlzon(const std::vector<std::string>& args, const run_options& options) {
    std::vector<std::string> argv = unlzon_argv(args, options);
    std::vector<char*> c_argv = c_args(argv);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        apply_options(options);
        execv(c_argv[0], c_argv.data());
        _exit(127);
    }
    return pid;
}

run_result finish_program(int pid) {
    run_result result;
    int wait_status = 0;
    rusage usage{};
    while (wait4(pid, &wait_status, 0, &usage) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
    result.peak_memory_kib = usage.ru_maxrss;
    return result;
}

void kill_program(int pid) {
    (void)kill(pid, SIGKILL);
}

namespace {

// An ended child, not yet collected, holds no file open any more.
bool has_ended(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z';
}

}  // namespace

bool wait_for_open_file_in(int pid, const std::string& folder, const std::string& except,
                           double seconds) {
    namespace fs = std::filesystem;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    const std::string prefix = fs::canonical(folder).string() + "/";
    const std::string input = fs::canonical(except).string();
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fds, error)) {
            std::error_code ignored;
            const std::string target = fs::read_symlink(entry.path(), ignored).string();
            if (target.compare(0, prefix.size(), prefix) == 0 && target != input) {
                return true;
            }
        }
        if (has_ended(pid)) {
            return false;  // the run was quicker than this look
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

bool running_as_root() {
    return geteuid() == 0;
}

bool memory_limit_enforced() {
    constexpr std::uint64_t limit = std::uint64_t{1} << 30;
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // Asked of a child, as run_program() asks it; the reservation is
        // never touched, so only the limit can refuse it.
        const rlimit rl{limit, limit};
        void* const block = setrlimit(RLIMIT_AS, &rl) == 0
                                ? mmap(nullptr, static_cast<std::size_t>(2 * limit), PROT_NONE,
                                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                                : nullptr;
        _exit(block == MAP_FAILED ? 0 : 1);
    }
    return finish_program(pid).status == 0;
}

bool can_hide_mounts() {
    static const bool can = [] {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(hide_mounts(true, true) ? 0 : 1);
        }
        return pid > 0 && finish_program(pid).status == 0;
    }();
    return can;
}

bool signal_reaches_handler(int signal_number, bool from_outside) {
    constexpr int REACHED = 100;
    int ready[2];
    if (pipe(ready) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) { _exit(REACHED); };
        sigaction(signal_number, &action, nullptr);
        if (from_outside) {
            if (write(ready[1], "r", 1) != 1) {
                _exit(1);
            }
            // Busy writing, stopped and continued into the signal, as the
            // tests treat a run: an emulator takes a crash signal that
            // arrives in its own code for a fault of its own.
            static char chunk[1 << 16];
            const int null_fd = open("/dev/null", O_WRONLY);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline &&
                   write(null_fd, chunk, sizeof chunk) > 0) {
            }
        } else {
            raise(signal_number);
        }
        _exit(1);
    }
    close(ready[1]);
    char byte = 0;
    if (pid > 0 && from_outside && read(ready[0], &byte, 1) == 1) {
        kill(pid, SIGSTOP);
        int status = 0;
        (void)waitpid(pid, &status, WUNTRACED);
        kill(pid, signal_number);
        kill(pid, SIGCONT);
    }
    close(ready[0]);
    return pid > 0 && finish_program(pid).status == REACHED;
}

const std::string& unlzon_for_other_users() {
    // The copy's folder is made once and removed when the test program ends.
    struct copy_t {
        temp_dir folder{"/tmp"};
        std::string program = folder / "unlzon";
        copy_t() {
            namespace fs = std::filesystem;
            fs::copy_file(UNLZON_PATH, program);
            fs::permissions(program, fs::perms(0755));
            fs::permissions(folder.path(), fs::perms(0755));
        }
    };
    static const copy_t copy;
    return copy.program;
}

}  // namespace unlzon::test
