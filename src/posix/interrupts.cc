// SPDX-License-Identifier: GPL-2.0-or-later
#include "posix/interrupts.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace unlzon::posix {

namespace {

// Every signal whose default action on Linux ends the process, besides the
// real-time ones: SIGPIPE and SIGXFSZ are ignored by the tool (a write error
// instead), and SIGKILL cannot be caught.
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

// Read by the handler, so the name lives in static storage (no allocation)
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

extern "C" void remove_pending_and_die(int signal_number) {
    remove_pending_file();
    // Still blocked inside the handler, the signal is delivered again with
    // its default action as soon as the handler returns: the exit status, or
    // the core dump of a crash, stays that of the signal.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

// The caught signals; SIGRTMIN is a function call in glibc, which keeps the
// lowest real-time signals for its threads.
sigset_t fatal_set() {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal_number : FATAL_SIGNALS) {
        (void)sigaddset(&set, signal_number);
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        (void)sigaddset(&set, signal_number);
    }
    return set;
}

void install_handlers_once() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    // No other signal may run the handler a second time halfway through.
    action.sa_mask = fatal_set();
    for (int signal_number = 1; signal_number <= SIGRTMAX; ++signal_number) {
        struct sigaction previous {};
        // Only a default action is replaced: an ignored signal stays ignored,
        // and a sanitizer's own fault handlers keep reporting.
        if (sigismember(&action.sa_mask, signal_number) == 1 &&
            sigaction(signal_number, nullptr, &previous) == 0 &&
            (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_DFL) {
            (void)sigaction(signal_number, &action, nullptr);
        }
    }
}

}  // namespace

interrupt_blocker::interrupt_blocker() {
    const sigset_t set = fatal_set();
    (void)sigprocmask(SIG_BLOCK, &set, &previous_);
}

interrupt_blocker::~interrupt_blocker() {
    (void)sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void register_pending_name(int folder, const char* name) {
    install_handlers_once();
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
