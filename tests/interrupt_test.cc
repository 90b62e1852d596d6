// SPDX-License-Identifier: GPL-2.0-or-later
// Runs interrupted while the image is being written: the output name keeps
// the earlier file, the folder holds nothing new, and the process still dies
// of the signal. Even SIGKILL never leaves a partial image under the name.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "native_file.h"
#ifndef _WIN32
#include "posix/signals.h"
#endif
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr std::uint32_t IMAGE_SIZE = 256u << 20;

std::optional<std::uint64_t> file_size(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

#ifndef _WIN32
// Back to the demo, big.bin, and its earlier output only, whatever a run left.
void reset_to_demo(const test::temp_dir& dir, const bytes& earlier) {
    for (const std::string& name : test::folder_entries(dir.path())) {
        if (name != "big.bin") {
            std::filesystem::remove(dir / name);
        }
    }
    test::write_file(dir / "big.bin.nds", earlier);
}

// Every fatal signal that another process may send, as the tool lists them;
// the fault signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE) are left to the
// in-process faults of output_file_test.cc: sent from outside, qemu-user
// takes them at random for faults of its own.
std::vector<int> sent_fatal_signals() {
    std::vector<int> sent;
    for (const int signal_number : posix::fatal_signals()) {
        if (signal_number != SIGSEGV && signal_number != SIGBUS && signal_number != SIGILL &&
            signal_number != SIGFPE) {
            sent.push_back(signal_number);
        }
    }
    return sent;
}
#endif

class InterruptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::write_file(input_, kit::make_container(IMAGE_SIZE, test::zero_stream(IMAGE_SIZE)));
        test::write_file(output_, earlier_);
    }

    // Start a run and send `signal_number` as soon as its pending output exists.
    test::run_result interrupt_during_write(int signal_number,
                                            const test::run_options& options = {}) {
        const int pid = test::start_unlzon({input_}, options);
        EXPECT_TRUE(test::wait_for_open_file_in(pid, dir_.path(), input_));
#ifdef _WIN32
        (void)signal_number;
        test::kill_program(pid);
#else
        kill(pid, signal_number);
#endif
        return test::finish_program(pid);
    }

#ifndef _WIN32
    // Wait until the run's pending output holds bytes: the window writes
    // them from its fault handler, so the decoder call is under way.
    bool wait_until_written_to(int pid) const {
        namespace fs = std::filesystem;
        const std::string prefix = fs::canonical(dir_.path()).string() + "/";
        const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(fds, error)) {
                std::error_code ignored;
                const std::string target = fs::read_symlink(entry.path(), ignored).string();
                struct stat info {};
                if (target.compare(0, prefix.size(), prefix) == 0 && target != input_ &&
                    stat(entry.path().c_str(), &info) == 0 && info.st_size > 0) {
                    return true;
                }
            }
            if (error) {
                return false;  // the run has ended
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return false;
    }
#endif

    void expect_as_before() {
        EXPECT_EQ(test::read_bytes(output_), earlier_);
        EXPECT_EQ(test::folder_entries(dir_.path()),
                  (std::vector<std::string>{"big.bin", "big.bin.nds"}));
    }

    test::temp_dir dir_;
    std::string input_ = dir_ / "big.bin";
    std::string output_ = input_ + ".nds";
    const bytes earlier_ = {'k', 'e', 'e', 'p'};
};

TEST_F(InterruptTest, ZeroStreamDecodesToItsSize) {
    const test::run_result r = test::run_unlzon({input_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(output_), IMAGE_SIZE);
}

TEST_F(InterruptTest, SignalDuringTheWriteKeepsTheEarlierOutput) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX signals; windows_test.cc covers TerminateProcess";
#else
    for (const int signal_number : sent_fatal_signals()) {
        SCOPED_TRACE(strsignal(signal_number));
        if (!test::signal_reaches_handler(signal_number, true)) {
            continue;  // under qemu-user: what arrives is not the signal sent
        }
        const test::run_result r = interrupt_during_write(signal_number);
        EXPECT_EQ(r.signal, signal_number);
        expect_as_before();
    }
#endif
}

// The run guards its decoding against the faults of a payload cut short
// (SIGBUS) and serves the image window's faults (SIGSEGV): the same signals
// sent by another process are neither a damaged demo nor the window's, and
// end the run as any other fatal signal does.
TEST_F(InterruptTest, FaultSignalsSentDuringTheDecodingEndTheRun) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX signals";
#elif defined(UNDER_ADDRESS_SANITIZER)
    GTEST_SKIP() << "the sanitizer's own fault handlers report a sent fault signal";
#else
    for (const int signal_number : {SIGBUS, SIGSEGV}) {
        SCOPED_TRACE(strsignal(signal_number));
        if (!test::signal_reaches_handler(signal_number, true)) {
            GTEST_SKIP() << "under qemu-user, a fault signal sent from outside is not the one sent";
        }
        const int pid = test::start_unlzon({input_});
        EXPECT_TRUE(wait_until_written_to(pid));
        kill(pid, signal_number);
        const test::run_result r = test::finish_program(pid);
        EXPECT_EQ(r.signal, signal_number) << r.err;
        EXPECT_EQ(r.err, "");
        expect_as_before();
    }
#endif
}

TEST_F(InterruptTest, SignalsIgnoredAtStartStayIgnored) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX signals";
#else
    test::run_options options;
    options.ignored_signals = {SIGHUP, SIGQUIT, SIGRTMIN, SIGRTMAX};
    const int pid = test::start_unlzon({input_}, options);
    EXPECT_TRUE(test::wait_for_open_file_in(pid, dir_.path(), input_));
    for (const int signal_number : options.ignored_signals) {
        kill(pid, signal_number);
    }
    const test::run_result r = test::finish_program(pid);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file_size(output_), IMAGE_SIZE);
#endif
}

#ifndef _WIN32
// Where the pending file has a name (no O_TMPFILE, or no /proc to name an
// unnamed file by), every signal that ends the run must remove it first.
class NamedInterruptTest : public ::testing::Test {
  protected:
    // Long enough to write that the run can be caught with its file pending.
    static constexpr std::uint32_t SIZE = 48u << 20;

    void SetUp() override {
        if (!test::can_hide_mounts()) {
            GTEST_SKIP() << "an empty /proc for the run needs root and mount namespaces";
        }
        test::write_file(input_, container_);
        test::write_file(output_, earlier_);
    }

    // Deliver `signal_number` while the run's hidden pending file exists: the
    // run is stopped the moment it opens the file, the signal is queued, and
    // the run continues into it. nullopt if every try came too late.
    std::optional<test::run_result> interrupt_named_write(int signal_number) {
        test::run_options options;
        options.hide_proc = true;
        for (int attempt = 0; attempt < 5; ++attempt) {
            const int pid = test::start_unlzon({input_}, options);
            const bool opened = test::wait_for_open_file_in(pid, dir_.path(), input_);
            kill(pid, SIGSTOP);
            int status = 0;
            // A run that already ended is collected here, a stopped one later.
            const bool stopped = waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
            if (stopped && opened && holds_hidden_file()) {
                kill(pid, signal_number);
                kill(pid, SIGCONT);
                return test::finish_program(pid);
            }
            if (stopped) {
                kill(pid, SIGKILL);
                (void)test::finish_program(pid);
            }
            ++too_late_;  // the run was quicker than the stop
            reset_folder();
        }
        return std::nullopt;
    }

    bool holds_hidden_file() const {
        for (const std::string& name : test::folder_entries(dir_.path())) {
            if (name.rfind(".unlzon-", 0) == 0) {
                return true;
            }
        }
        return false;
    }

    void reset_folder() { reset_to_demo(dir_, earlier_); }

    test::temp_dir dir_;
    std::string input_ = dir_ / "big.bin";
    std::string output_ = input_ + ".nds";
    const bytes container_ = kit::make_container(SIZE, test::zero_stream(SIZE));
    const bytes earlier_ = {'k', 'e', 'e', 'p'};
    int too_late_ = 0;
};

TEST_F(NamedInterruptTest, EverySignalThatEndsTheRunRemovesThePendingFile) {
    // SIGSYS, SIGTRAP and SIGABRT sent by another process take the way of a
    // crash.
    for (const int signal_number : sent_fatal_signals()) {
        SCOPED_TRACE(strsignal(signal_number));
        if (!test::signal_reaches_handler(signal_number, true)) {
            // Under qemu-user: what arrives is not the signal sent.
            RecordProperty(std::string("not_delivered_here_") + std::to_string(signal_number), 1);
            continue;
        }
        const std::optional<test::run_result> r = interrupt_named_write(signal_number);
        ASSERT_TRUE(r.has_value()) << "every run finished before it could be stopped";
        EXPECT_EQ(r->signal, signal_number);
        EXPECT_EQ(test::read_bytes(output_), earlier_);
        EXPECT_EQ(test::read_bytes(input_), container_);
        EXPECT_EQ(test::folder_entries(dir_.path()),
                  (std::vector<std::string>{"big.bin", "big.bin.nds"}));
        reset_folder();
    }
    RecordProperty("runs_stopped_too_late", too_late_);
}

TEST(PendingNameTest, RemovedOnceByTheHandlersCall) {
    test::temp_dir dir;
    const std::string name = ".unlzon-abcdefghijkl";
    test::write_file(dir / name, bytes{1});
    const native_file folder(open(dir.path().c_str(), O_PATH | O_DIRECTORY));
    posix::register_pending_name(static_cast<int>(folder.get()), name.c_str());
    posix::remove_pending_file();
    EXPECT_EQ(test::folder_entries(dir.path()), std::vector<std::string>{});
    // Unregistered by the removal: a later file of that name is not this run's.
    test::write_file(dir / name, bytes{2});
    posix::remove_pending_file();
    EXPECT_EQ(test::folder_entries(dir.path()), std::vector<std::string>{name});
}

#endif

// Until the pending output exists the signals keep their default action:
// the run is stopped after its exec and before it holds any file of the
// folder but the demo, then ended there.
TEST_F(InterruptTest, SignalBeforeTheOutputIsCreatedLeavesAnEarlierFile) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX signals";
#else
    namespace fs = std::filesystem;
    // Until its exec the child is a copy of this test; after it, unlzon (or
    // the emulator that runs unlzon, under qemu-user).
    const std::string test_program = fs::read_symlink("/proc/self/exe").string();
    for (int delay_us = 0; delay_us < 20000; delay_us += 100) {
        const int pid = test::start_unlzon({input_});
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
        kill(pid, SIGSTOP);
        int status = 0;
        const bool stopped = waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
        std::error_code error;
        const std::string running =
            fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
        const bool started = !error && running != test_program;
        const bool early =
            stopped && started && !test::wait_for_open_file_in(pid, dir_.path(), input_, 0);
        kill(pid, early ? SIGTERM : SIGKILL);
        kill(pid, SIGCONT);
        const test::run_result r = test::finish_program(pid);
        if (early) {
            EXPECT_EQ(r.signal, SIGTERM);
            expect_as_before();
            return;
        }
        test::write_file(output_, earlier_);
    }
    ADD_FAILURE() << "no run was caught before its output existed";
#endif
}

// SIGKILL cannot be caught: only writing under no name until the image is
// complete keeps a partial image away from the output name.
TEST_F(InterruptTest, KillAtAnyMomentLeavesTheEarlierFileOrTheWholeImage) {
    SKIP_WITHOUT_LINUX_EXTRA("unnamed_file", "SIGKILL leaves the named pending file behind");
    std::mt19937 random(20261208);
    int completed = 0;
    for (int round = 0; round < 6; ++round) {
        const int pid = test::start_unlzon({input_});
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 900));
        test::kill_program(pid);
        const test::run_result r = test::finish_program(pid);
        const std::optional<std::uint64_t> size = file_size(output_);
        if (r.status == 0 || size == IMAGE_SIZE) {
            ++completed;
            EXPECT_EQ(size, IMAGE_SIZE);
            test::write_file(output_, earlier_);
        }
        expect_as_before();
    }
    RecordProperty("completed_before_the_kill", completed);
}

}  // namespace
}  // namespace unlzon
