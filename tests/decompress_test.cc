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

}  // namespace
}  // namespace unlzon
