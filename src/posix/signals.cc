// SPDX-License-Identifier: GPL-2.0-or-later
#include "posix/signals.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace unlzon::posix {

namespace {

// Every signal whose default action ends the process, besides the real-time
// ones: SIGPIPE and SIGXFSZ are ignored by the tool (a write error instead),
// and SIGKILL cannot be caught.
constexpr int FATAL_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGIO,  SIGPROF,
    SIGVTALRM, SIGXCPU, SIGSYS,  SIGTRAP, SIGSEGV, SIGBUS,  SIGILL,  SIGFPE, SIGABRT,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// --- The named pending file -------------------------------------------------

// Read by the handlers, so the name lives in static storage (no allocation)
// and is published by a lock-free flag only once it is complete.
char pending_name[NAME_MAX + 1];
int pending_folder = -1;
std::uint64_t pending_check = 0;
std::atomic<bool> pending_registered{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// FNV-1a over the folder and the name. A crash may have scribbled over the
// static name: the handler then removes nothing rather than another file.
std::uint64_t check_of(int folder, const char* name) noexcept {
    std::uint64_t hash = 14695981039346656037u ^ static_cast<std::uint64_t>(folder);
    for (; *name != '\0'; ++name) {
        hash = (hash ^ static_cast<unsigned char>(*name)) * 1099511628211u;
    }
    return hash;
}

// --- Installing and dying -----------------------------------------------

bool is_default(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

// Remove the pending file, then die of the signal under its default action:
// raised while it is blocked (inside this handler), it arrives as the handler
// returns.
extern "C" void on_fatal_signal(int signal_number) {
    const int saved_errno = errno;
    remove_pending_file();
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
    errno = saved_errno;
}

// Call `act` with each fatal signal; allocates nothing, for the steps that
// must not fail for want of memory.
template <typename Action>
void for_each_fatal_signal(Action act) {
    for (const int signal_number : FATAL_SIGNALS) {
        act(signal_number);
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    // A function call in glibc, which keeps the lowest real-time signals for
    // its threads.
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        act(signal_number);
    }
#endif
}

sigset_t fatal_set() {
    sigset_t set;
    (void)sigemptyset(&set);
    for_each_fatal_signal([&set](int signal_number) { (void)sigaddset(&set, signal_number); });
    return set;
}

void install_cleanup_once() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    // No other signal may run the cleanup a second time halfway through.
    action.sa_mask = fatal_set();
    for_each_fatal_signal([&action](int signal_number) {
        struct sigaction previous {};
        // Only a default action is replaced: an ignored signal stays ignored,
        // and a sanitizer's own fault handlers keep reporting.
        if (sigaction(signal_number, nullptr, &previous) == 0 && is_default(previous)) {
            (void)sigaction(signal_number, &action, nullptr);
        }
    });
}

}  // namespace

std::vector<int> fatal_signals() {
    std::vector<int> signals;
    for_each_fatal_signal([&signals](int signal_number) { signals.push_back(signal_number); });
    return signals;
}

void ignore_write_signals() {
    // The error line must reach standard error even when standard output is
    // a closed pipe, and a file-size limit is a write error like a full disk.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
}

interrupt_blocker::interrupt_blocker() {
    const sigset_t set = fatal_set();
    (void)sigprocmask(SIG_BLOCK, &set, &previous_);
}

interrupt_blocker::~interrupt_blocker() {
    (void)sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void register_pending_name(int folder, const char* name) {
    install_cleanup_once();
    pending_registered.store(false);
    std::strncpy(pending_name, name, NAME_MAX);
    pending_name[NAME_MAX] = '\0';
    pending_folder = folder;
    pending_check = check_of(folder, pending_name);
    pending_registered.store(true);
}

void unregister_pending_name() {
    pending_registered.store(false);
}

void remove_pending_file() noexcept {
    if (pending_registered.exchange(false) &&
        check_of(pending_folder, pending_name) == pending_check) {
        (void)unlinkat(pending_folder, pending_name, 0);
    }
}

}  // namespace unlzon::posix
