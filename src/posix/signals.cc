// SPDX-License-Identifier: GPL-2.0-or-later
#include "posix/signals.h"

#include <fcntl.h>
#include <limits.h>
#include <setjmp.h>
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
constexpr int FAULT_SIGNALS[] = {SIGSEGV, SIGBUS};

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

// --- Installing, forwarding, dying ------------------------------------------

// Room for the handlers when the run's own stack has overflowed. Static: it
// must not depend on memory that the failing run might not get.
alignas(16) unsigned char alternate_stack[64 * 1024];

// Give this thread the alternate stack, unless it has one already (a
// sanitizer's).
void ensure_alternate_stack() noexcept {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
        return;
    }
    stack_t ours{};
    ours.ss_sp = alternate_stack;
    ours.ss_size = sizeof alternate_stack;
    (void)sigaltstack(&ours, nullptr);
}

bool is_default(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

bool is_ignored(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

// Remove the pending file and end the process of `signal_number` under its
// default action. Raised while the signal is blocked (inside the cleanup), it
// arrives as the handler returns; unblocked, at once.
void die_of(int signal_number) noexcept {
    remove_pending_file();
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);
}

extern "C" void on_fatal_signal(int signal_number) {
    const int saved_errno = errno;
    die_of(signal_number);
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
    ensure_alternate_stack();
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = SA_ONSTACK;
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

// --- The fault guard ---------------------------------------------------------

// Set before the guard's handler is installed and cleared after it is gone;
// the handler reads them on the same thread, so a signal fence orders them.
fault_watch guarded;
struct sigaction action_before_guard[2];
sigjmp_buf leave_work;
volatile sig_atomic_t guard_depth = 0;  // handlers of the guard under way
// How the guard left the decoder; decoded while it has not.
volatile sig_atomic_t guard_outcome = static_cast<sig_atomic_t>(decode_outcome::kind::decoded);

struct sigaction& before_guard(int signal_number) {
    return action_before_guard[signal_number == SIGSEGV ? 0 : 1];
}

// The action from before the guard, for a signal that is not the guard's:
// a sent one gets it as it was, a crash no less than the default one.
void give_back_action(int signal_number, bool crash) noexcept {
    const struct sigaction& before = before_guard(signal_number);
    if (crash && is_ignored(before)) {
        (void)signal(signal_number, SIG_DFL);  // a fault cannot be ignored
    } else {
        (void)sigaction(signal_number, &before, nullptr);
    }
}

bool in_view(const void* address) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto from = reinterpret_cast<std::uintptr_t>(guarded.view);
    return guarded.view != nullptr && at >= from && at - from < guarded.view_size;
}

[[noreturn]] void leave(decode_outcome::kind outcome) noexcept {
    guard_outcome = static_cast<sig_atomic_t>(outcome);
    siglongjmp(leave_work, 1);
}

extern "C" void on_memory_fault(int signal_number, siginfo_t* info, void* context) {
    (void)context;
    const int saved_errno = errno;
    // Sent by another process (kill -SEGV), not a fault: it gets the action
    // it would have had without the guard, and an ignored one stays ignored.
    if (info->si_code <= 0) {
        if (!is_ignored(before_guard(signal_number))) {
            give_back_action(signal_number, false);
            (void)raise(signal_number);
        }
        errno = saved_errno;
        return;
    }
    guard_depth = guard_depth + 1;
    if (guard_depth == 1) {
        if (signal_number == SIGSEGV && guarded.follow != nullptr) {
            switch (guarded.follow(guarded.window, info->si_addr)) {
                case window_step::moved:
                    guard_depth = 0;
                    errno = saved_errno;
                    return;  // the store is retried on the window's new pages
                case window_step::failed:
                    leave(decode_outcome::kind::no_memory);
                case window_step::not_the_window:
                    break;
            }
        }
        // The kernel reports a page of a file it cannot deliver (past the
        // end, or unreadable) as BUS_ADRERR. Its address is not relied on
        // for that code: some systems report it inexactly (page-aligned on
        // s390x, garbled by qemu-user), and the decoder touches no other
        // file's pages.
        if (signal_number == SIGBUS && guarded.view != nullptr &&
            (info->si_code == BUS_ADRERR || in_view(info->si_addr))) {
            leave(decode_outcome::kind::payload_unreadable);
        }
    }
    // A crash, or a fault inside this handler: remove the pending file, then
    // the store is retried under the action from before (a sanitizer's
    // report, or the default), which ends the process.
    remove_pending_file();
    give_back_action(signal_number, true);
    errno = saved_errno;
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

decode_outcome decode_guarding_faults(const fault_watch& watch, demo_decoder decoder,
                                      const unsigned char* payload, std::uint32_t in_size,
                                      unsigned char* image, std::uint32_t out_size) {
    guarded = watch;
    guard_depth = 0;
    guard_outcome = static_cast<sig_atomic_t>(decode_outcome::kind::decoded);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    ensure_alternate_stack();

    struct sigaction action {};
    action.sa_sigaction = on_memory_fault;
    // SA_NODEFER: a fault inside the handler comes back to it (and is taken
    // for a crash) instead of being forced to the default action unhandled.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    // The interrupts stay open: a write that stalls in the handler (a slow
    // network folder) must still be ended by SIGINT or SIGTERM.
    (void)sigemptyset(&action.sa_mask);
    sigset_t faults;
    (void)sigemptyset(&faults);
    for (const int signal_number : FAULT_SIGNALS) {
        (void)sigaddset(&faults, signal_number);
        // Fails only for an invalid signal number or action, which these are not.
        (void)sigaction(signal_number, &action, &before_guard(signal_number));
    }
    // A fault that is blocked is forced to its default action by the kernel:
    // the guard needs both signals open, whatever the run was started with.
    sigset_t mask_before;
    (void)sigprocmask(SIG_UNBLOCK, &faults, &mask_before);
    // The mask at this point is saved and given back by the jump. The
    // outcome is static: a local changed before the jump would be
    // indeterminate after it.
    static decode_outcome decoded;
    decoded = decode_outcome{};
    if (sigsetjmp(leave_work, 1) == 0) {
        decoded = decoder(payload, in_size, image, out_size);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (const int signal_number : FAULT_SIGNALS) {
        (void)sigaction(signal_number, &before_guard(signal_number), nullptr);
    }
    (void)sigprocmask(SIG_SETMASK, &mask_before, nullptr);
    guarded = fault_watch{};
    const auto left = static_cast<decode_outcome::kind>(guard_outcome);
    if (left != decode_outcome::kind::decoded) {
        return decode_outcome{left, 0, 0, 0};
    }
    return decoded;
}

}  // namespace unlzon::posix
