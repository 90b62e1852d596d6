// SPDX-License-Identifier: GPL-2.0-or-later
#include "decompress.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

struct decoded {
    int code;
    std::uint32_t actual_size;
    bool accepted;
    bytes image;  // the file written, when accepted
};

decoded decode(const bytes& payload, std::uint32_t out_size) {
    const test::temp_dir dir;
    const test::unpacked got = test::unpack(payload, out_size, dir / "image.nds");
    EXPECT_EQ(got.decoded.what, decode_outcome::kind::decoded);
    return {got.decoded.code, got.decoded.actual_size, got.accepted, got.file};
}

TEST(DecompressTest, StreamsFromBothCompressorsDecodeToTheImage) {
    const bytes image = test::sample_image(300 * 1024);
    for (const kit::compressor method : {kit::compressor::lzo1x_1, kit::compressor::lzo1x_999}) {
        const decoded d =
            decode(kit::compress_lzo1x(image, method), static_cast<std::uint32_t>(image.size()));
        EXPECT_EQ(d.code, LZO_E_OK);
        EXPECT_TRUE(d.accepted);
        EXPECT_EQ(d.actual_size, image.size());
        EXPECT_TRUE(d.image == image);
    }
}

TEST(DecompressTest, ShortStreamIsAcceptedAndPaddedWithZeros) {
    const bytes image = test::sample_image(5000, 7);
    const decoded d = decode(kit::compress_lzo1x(image, kit::compressor::lzo1x_1), 5000 + 3000);
    EXPECT_EQ(d.code, LZO_E_OK);
    EXPECT_TRUE(d.accepted);
    EXPECT_EQ(d.actual_size, 5000u);
    bytes want = image;
    want.resize(8000, 0x00);
    EXPECT_TRUE(d.image == want);
}

TEST(DecompressTest, EmptyStreamGivesAnEmptyOrZeroImage) {
    const bytes stream = kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1);
    for (const std::uint32_t out_size : {0u, 64u}) {
        const decoded d = decode(stream, out_size);
        EXPECT_EQ(d.code, LZO_E_OK);
        EXPECT_TRUE(d.accepted);
        EXPECT_EQ(d.actual_size, 0u);
        EXPECT_EQ(d.image, bytes(out_size, 0x00));
    }
}

// Each broken stream fails with the library's own code; the tool adds none of its own.
TEST(DecompressTest, BrokenStreamsFailWithTheLibrarysCode) {
    const bytes image = test::sample_image(20000, 3);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    const auto size = static_cast<std::uint32_t>(image.size());
    const bytes with_trailer = [&] {
        bytes s = stream;
        s.push_back(0x00);
        return s;
    }();
    const bytes cut(stream.begin(), stream.end() - 1);
    // One literal, then a match 2041 bytes back, then the end marker.
    const bytes reference_before_start = {0x12, 0x41, 0x7C, 0xFF, 0x11, 0x00, 0x00};

    struct case_t {
        const char* name;
        const bytes& payload;
        std::uint32_t out_size;
        int want;
    };
    const case_t cases[] = {
        {"image larger than declared", stream, size - 1, LZO_E_OUTPUT_OVERRUN},
        {"bytes after the end marker", with_trailer, size, LZO_E_INPUT_NOT_CONSUMED},
        {"stream cut before its end marker", cut, size, LZO_E_INPUT_OVERRUN},
        {"empty payload", bytes(0), 16, LZO_E_INPUT_OVERRUN},
        {"reference before the image", reference_before_start, 16, LZO_E_LOOKBEHIND_OVERRUN},
    };
    for (const case_t& c : cases) {
        const decoded d = decode(c.payload, c.out_size);
        EXPECT_EQ(d.code, c.want) << c.name;
        EXPECT_FALSE(d.accepted) << c.name;
        EXPECT_LE(d.actual_size, c.out_size) << c.name;
    }
}

TEST(DecompressTest, AcceptanceNeedsSuccessAndNoMoreThanTheDeclaredSize) {
    struct case_t {
        int code;
        std::uint32_t actual_size;
        decode_outcome::kind what;
        bool want;
    };
    const case_t cases[] = {
        {LZO_E_OK, 100, decode_outcome::kind::decoded, true},
        {LZO_E_OK, 99, decode_outcome::kind::decoded, true},
        {LZO_E_OK, 101, decode_outcome::kind::decoded, false},
        {LZO_E_INPUT_NOT_CONSUMED, 100, decode_outcome::kind::decoded, false},
        {LZO_E_ERROR, 0, decode_outcome::kind::decoded, false},
        {LZO_E_OK, 100, decode_outcome::kind::payload_unreadable, false},
        {LZO_E_OK, 100, decode_outcome::kind::no_memory, false},
    };
    for (const case_t& c : cases) {
        const decode_outcome result{c.what, c.code, c.actual_size, 0};
        EXPECT_EQ(demo_image_accepted(result, 100), c.want) << c.code << " " << c.actual_size;
    }
}

}  // namespace
}  // namespace unlzon
