// SPDX-License-Identifier: GPL-2.0-or-later
#include "posix/interrupts.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace unlzon::posix {

namespace {

constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};

// Read by the handler, so the name lives in static storage (no allocation)
// and is published by a lock-free flag only once it is complete.
char pending_name[NAME_MAX + 1];
int pending_folder = -1;
std::atomic<bool> pending_registered{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void remove_pending_and_die(int signal_number) {
    if (pending_registered.load()) {
        (void)unlinkat(pending_folder, pending_name, 0);
    }
    // Still blocked inside the handler, the signal is delivered again with
    // its default action as soon as the handler returns.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

sigset_t interrupt_set() {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal_number : INTERRUPT_SIGNALS) {
        (void)sigaddset(&set, signal_number);
    }
    return set;
}

}  // namespace

void install_interrupt_handlers() {
    struct sigaction action {};
    action.sa_handler = remove_pending_and_die;
    // No other interrupt may run the handler a second time halfway through.
    action.sa_mask = interrupt_set();
    for (const int signal_number : INTERRUPT_SIGNALS) {
        struct sigaction previous {};
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            (void)sigaction(signal_number, &action, nullptr);
        }
    }
}

interrupt_blocker::interrupt_blocker() {
    const sigset_t set = interrupt_set();
    (void)sigprocmask(SIG_BLOCK, &set, &previous_);
}

interrupt_blocker::~interrupt_blocker() {
    (void)sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void register_pending_name(int folder, const char* name) {
    pending_registered.store(false);
    std::strncpy(pending_name, name, NAME_MAX);
    pending_name[NAME_MAX] = '\0';
    pending_folder = folder;
    pending_registered.store(true);
}

void unregister_pending_name() {
    pending_registered.store(false);
}

}  // namespace unlzon::posix
