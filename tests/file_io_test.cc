// SPDX-License-Identifier: GPL-2.0-or-later
#include "file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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
    EXPECT_FALSE(input_file::open(dir.path().c_str()).has_value());
    EXPECT_FALSE(input_file::open((dir / "missing").c_str()).has_value());
    test::write_file(dir / "file", {1, 2, 3});
    EXPECT_TRUE(input_file::open((dir / "file").c_str()).has_value());
}

TEST(InputFileTest, ReadsByPositionAndReportsTheEnd) {
    test::temp_dir dir;
    test::write_file(dir / "file", {10, 11, 12, 13, 14});
    const std::optional<input_file> file = input_file::open((dir / "file").c_str());
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->size(), 5u);
    unsigned char got[3] = {};
    ASSERT_EQ(file->read_at(2, got, 3), read_status::ok);
    EXPECT_EQ(bytes(got, got + 3), (bytes{12, 13, 14}));
    ASSERT_EQ(file->read_at(0, got, 2), read_status::ok);
    EXPECT_EQ(bytes(got, got + 2), (bytes{10, 11}));
    EXPECT_EQ(file->read_at(3, got, 3), read_status::end_of_file);
}

TEST(OutputFileTest, CommittedFileStaysWithAllItsBytes) {
    test::temp_dir dir;
    const bytes data = test::sample_image(100000);
    {
        std::optional<output_file> out = output_file::create(dir / "out.nds");
        ASSERT_TRUE(out.has_value());
        ASSERT_TRUE(out->write_and_commit(data.data(), data.size()));
    }
    EXPECT_EQ(test::read_bytes(dir / "out.nds"), data);
}

TEST(OutputFileTest, UncommittedFileIsRemoved) {
    test::temp_dir dir;
    test::write_file(dir / "out.nds", {1, 2, 3});  // an earlier file of that name goes too
    {
        std::optional<output_file> out = output_file::create(dir / "out.nds");
        ASSERT_TRUE(out.has_value());
    }
    EXPECT_FALSE(test::read_bytes(dir / "out.nds").has_value());
}

TEST(OutputFileTest, FailedWriteToADeviceLeavesTheDeviceAlone) {
    test::temp_dir dir;
    ASSERT_EQ(symlink("/dev/full", (dir / "out.nds").c_str()), 0);
    {
        std::optional<output_file> out = output_file::create(dir / "out.nds");
        ASSERT_TRUE(out.has_value());
        const bytes data(1000, 0x42);
        EXPECT_FALSE(out->write_and_commit(data.data(), data.size()));
    }
    struct stat info {};
    EXPECT_EQ(lstat((dir / "out.nds").c_str(), &info), 0);
    EXPECT_EQ(stat("/dev/full", &info), 0);
}

TEST(OutputFileTest, UnopenablePathGivesNothing) {
    test::temp_dir dir;
    EXPECT_FALSE(output_file::create(dir / "no/such/folder/out.nds").has_value());
    EXPECT_FALSE(output_file::create(dir.path()).has_value());
}

}  // namespace
}  // namespace unlzon
