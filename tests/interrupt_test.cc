// SPDX-License-Identifier: GPL-2.0-or-later
// Runs interrupted by SIGINT, SIGTERM or SIGHUP: a partial output is removed
// and the process still dies of the signal; an earlier file of the output
// name survives an interrupt that comes before the output is opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr std::uint32_t IMAGE_SIZE = 256u << 20;

// An LZO1X stream of `size` zero bytes (size >= 38): four literals, one long
// match at distance 1, the end marker. Made by hand because compressing a
// buffer this large would dominate the test's time and memory.
bytes zero_stream(std::uint32_t size) {
    bytes stream = {17 + 4, 0, 0, 0, 0};
    const std::uint32_t rest = size - 4;  // = 33 + 255 * extensions + last
    const std::uint32_t extensions = (rest - 34) / 255;
    stream.push_back(0x20);
    stream.insert(stream.end(), extensions, 0x00);
    stream.push_back(static_cast<unsigned char>(rest - 33 - 255 * extensions));
    stream.insert(stream.end(), {0x00, 0x00, 0x11, 0x00, 0x00});
    return stream;
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

class InterruptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::write_file(input_, kit::make_container(IMAGE_SIZE, zero_stream(IMAGE_SIZE)));
    }

    // Start a run and send `signal_number` as soon as its output file exists.
    test::run_result interrupt_during_write(int signal_number,
                                            const test::run_options& options = {}) {
        const int pid = test::start_unlzon({input_}, options);
        while (!file_size(output_)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        kill(pid, signal_number);
        return test::finish_program(pid);
    }

    test::temp_dir dir_;
    std::string input_ = dir_ / "big.bin";
    std::string output_ = input_ + ".nds";
};

TEST_F(InterruptTest, ZeroStreamDecodesToItsSize) {
    const test::run_result r = test::run_unlzon({input_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(output_), IMAGE_SIZE);
}

TEST_F(InterruptTest, SignalDuringTheWriteRemovesThePartialOutput) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        const test::run_result r = interrupt_during_write(signal_number);
        EXPECT_EQ(r.signal, signal_number);
        EXPECT_FALSE(file_size(output_).has_value());
    }
}

TEST_F(InterruptTest, IgnoredHangupStaysIgnored) {
    test::run_options options;
    options.ignore_hangup = true;
    const test::run_result r = interrupt_during_write(SIGHUP, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file_size(output_), IMAGE_SIZE);
}

TEST_F(InterruptTest, SignalBeforeTheOutputIsOpenedLeavesAnEarlierFile) {
    const bytes earlier = {'k', 'e', 'e', 'p'};
    test::write_file(output_, earlier);
    const int pid = test::start_unlzon({input_});
    // Decoding 256 MiB takes far longer than this, so the output is not open yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(pid, SIGTERM);
    const test::run_result r = test::finish_program(pid);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(test::read_bytes(output_), earlier);
}

}  // namespace
}  // namespace unlzon
