// SPDX-License-Identifier: GPL-2.0-or-later
#include "interrupt.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace unlzon {

namespace {

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t SIGNAL_COUNT = sizeof CLEANUP_SIGNALS / sizeof CLEANUP_SIGNALS[0];

// Read by the handler, so it must be lock-free; a plain pointer is.
std::atomic<char*> armed_path{nullptr};
static_assert(std::atomic<char*>::is_always_lock_free);

struct sigaction previous_actions[SIGNAL_COUNT];

extern "C" void remove_armed_file(int signal_number) {
    if (char* const path = armed_path.load()) {
        (void)unlink(path);
    }
    // Still blocked inside the handler, the signal is delivered again with
    // its default action as soon as the handler returns.
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

sigset_t cleanup_signal_set() {
    sigset_t set;
    (void)sigemptyset(&set);
    for (const int signal_number : CLEANUP_SIGNALS) {
        (void)sigaddset(&set, signal_number);
    }
    return set;
}

}  // namespace

interrupt_blocker::interrupt_blocker() {
    const sigset_t set = cleanup_signal_set();
    (void)sigprocmask(SIG_BLOCK, &set, &previous_);
}

interrupt_blocker::~interrupt_blocker() {
    (void)sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

bool arm_interrupt_cleanup(const char* path) {
    const std::size_t length = std::strlen(path) + 1;
    auto* const copy = static_cast<char*>(std::malloc(length));
    if (copy == nullptr) {
        return false;
    }
    std::memcpy(copy, path, length);
    armed_path.store(copy);

    struct sigaction action {};
    action.sa_handler = remove_armed_file;
    (void)sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
        (void)sigaction(CLEANUP_SIGNALS[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler != SIG_IGN) {
            (void)sigaction(CLEANUP_SIGNALS[i], &action, nullptr);
        }
    }
    return true;
}

void disarm_interrupt_cleanup() {
    char* const path = armed_path.exchange(nullptr);
    if (path == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < SIGNAL_COUNT; ++i) {
        (void)sigaction(CLEANUP_SIGNALS[i], &previous_actions[i], nullptr);
    }
    std::free(path);
}

}  // namespace unlzon
