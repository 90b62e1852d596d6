// SPDX-License-Identifier: GPL-2.0-or-later
#include "demo_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

// A header declaring `in_size` payload bytes, with none of them present.
bytes header_bytes(std::uint32_t out_size, std::uint32_t in_size) {
    bytes header = kit::make_container(out_size, bytes(0));
    for (std::size_t i = 0; i < 4; ++i) {
        header[12 + i] = static_cast<unsigned char>(in_size >> (24 - 8 * i));
    }
    return header;
}

class DemoFormatTest : public ::testing::Test {
  protected:
    input_file open_with(const bytes& content) {
        const std::string path = dir_ / "demo.bin";
        test::write_file(path, content);
        std::optional<input_file> file = test_access::open_input(path.c_str());
        EXPECT_TRUE(file.has_value());
        return std::move(*file);
    }

    test::temp_dir dir_;
};

TEST(LoadBe32, ReadsMostSignificantByteFirst) {
    struct case_t {
        unsigned char in[4];
        std::uint32_t want;
    };
    const case_t cases[] = {
        {{0x00, 0x00, 0x01, 0x00}, 256},
        {{0x00, 0x00, 0x00, 0x2A}, 42},
        {{0x12, 0x34, 0x56, 0x78}, 0x12345678u},
        {{0x80, 0x00, 0x00, 0x00}, 0x80000000u},  // never a negative number
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(load_be32(c.in), c.want);
    }
}

TEST_F(DemoFormatTest, HeaderSizesAreDecodedFromTheirOffsets) {
    // out_size stands at offset 8, in_size at offset 12.
    bytes content = {0x4C, 0x5A, 0x4F, 0x6E, 0x00, 0x2F, 0xF1, 0x71,
                     0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2A};
    const header_result result = read_demo_header(open_with(content));
    ASSERT_EQ(result.status, demo_status::ok);
    EXPECT_EQ(result.header.out_size, 256u);
    EXPECT_EQ(result.header.in_size, 42u);
}

TEST_F(DemoFormatTest, HighBitSizesStayLargeUnsignedNumbers) {
    const header_result result =
        read_demo_header(open_with(header_bytes(0xFFFFFFFFu, 0x80000001u)));
    ASSERT_EQ(result.status, demo_status::ok);
    EXPECT_EQ(result.header.out_size, 0xFFFFFFFFu);
    EXPECT_EQ(result.header.in_size, 0x80000001u);
}

// A payload is a view of the file where the system allows it, else it is
// read into memory; either way the bytes are the file's, exactly in_size of
// them, never the bytes after it, and a view of a file that another process
// cuts short meanwhile is reported, never a crash.
TEST_F(DemoFormatTest, PayloadOfAnySizeHoldsTheFilesBytes) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{5000}, std::size_t{9} << 20}) {
        SCOPED_TRACE(size);
        bytes payload = test::sample_image(size, 3);
        bytes content = kit::make_container(1, payload);  // only the payload is looked at
        content.insert(content.end(), {0xEE, 0xEE, 0xEE});
        const input_file file = open_with(content);
        const payload_result got =
            read_demo_payload(file, demo_header{static_cast<std::uint32_t>(size), 1});
        ASSERT_EQ(got.status, demo_status::ok);
        ASSERT_EQ(got.payload->size(), size);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), got.payload->data()));
    }
}

TEST_F(DemoFormatTest, PayloadCutShortAfterTheDemoWasOpenedIsNotADemo) {
    const input_file file = open_with(kit::make_container(1, test::sample_image(9 << 20, 4)));
    std::error_code error;
    std::filesystem::resize_file(std::filesystem::u8path(dir_ / "demo.bin"), 4096, error);
    ASSERT_FALSE(error);
    const payload_result got = read_demo_payload(file, demo_header{9 << 20, 1});
    EXPECT_EQ(got.status, demo_status::not_a_demo);
    EXPECT_FALSE(got.payload.has_value());
}

}  // namespace
}  // namespace unlzon
