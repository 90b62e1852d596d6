// SPDX-License-Identifier: GPL-2.0-or-later
#include "input_file.h"
#include "buffer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

TEST(ByteBufferTest, SmallAndHugePageSizedBlocksArriveZeroed) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096},
                                   (std::size_t{2} << 20) + 1, std::size_t{9} << 20}) {
        std::optional<byte_buffer> buffer = byte_buffer::allocate(size);
        ASSERT_TRUE(buffer.has_value()) << size;
        ASSERT_EQ(buffer->size(), size);
        ASSERT_NE(buffer->data(), nullptr);
        EXPECT_TRUE(std::all_of(buffer->data(), buffer->data() + size, [](unsigned char b) {
            return b == 0;
        })) << size;
        std::fill(buffer->data(), buffer->data() + size, 0xA5);  // every byte writable
    }
}

TEST(InputFileTest, OnlyRegularFilesOpen) {
    test::temp_dir dir;
    EXPECT_FALSE(test_access::open_input(dir.path().c_str()).has_value());
    EXPECT_FALSE(test_access::open_input((dir / "missing").c_str()).has_value());
    test::write_file(dir / "file", {1, 2, 3});
    EXPECT_TRUE(test_access::open_input((dir / "file").c_str()).has_value());
}

TEST(InputFileTest, ReadsByPositionAndReportsTheEnd) {
    test::temp_dir dir;
    test::write_file(dir / "file", {10, 11, 12, 13, 14});
    const std::optional<input_file> file = test_access::open_input((dir / "file").c_str());
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->size(), 5u);
    unsigned char got[3] = {};
    ASSERT_EQ(file->read_at(2, got, 3), read_status::ok);
    EXPECT_EQ(bytes(got, got + 3), (bytes{12, 13, 14}));
    ASSERT_EQ(file->read_at(0, got, 2), read_status::ok);
    EXPECT_EQ(bytes(got, got + 2), (bytes{10, 11}));
    EXPECT_EQ(file->read_at(3, got, 3), read_status::end_of_file);
}

TEST(InputFileTest, FifoIsRefusedAtOnceAndPermissionsAreTheFilesOwn) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFOs or permission bits on Windows";
#else
    test::temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    // With no writer, a blocking open would never return.
    EXPECT_FALSE(test_access::open_input((dir / "fifo").c_str()).has_value());
    test::write_file(dir / "private", {1});
    ASSERT_EQ(chmod((dir / "private").c_str(), 0640), 0);
    const std::optional<input_file> file = test_access::open_input((dir / "private").c_str());
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->origin().permissions, 0640u);
#endif
}

}  // namespace
}  // namespace unlzon
