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
    bytes image;  // the whole image, when accepted
};

decoded decode(const bytes& payload, std::uint32_t out_size) {
    EXPECT_EQ(lzo_init(), LZO_E_OK);
    const decompress_result got = decompress_demo_payload(
        payload.data(), static_cast<std::uint32_t>(payload.size()), out_size);
    EXPECT_TRUE(got.image.has_value());
    const bool accepted = demo_image_accepted(got, out_size);
    return {got.code, got.actual_size, accepted,
            accepted ? bytes(got.image->data(), got.image->data() + out_size) : bytes{}};
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
