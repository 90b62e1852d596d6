// SPDX-License-Identifier: GPL-2.0-or-later
// Damaged containers through the whole program: every cut of a small demo,
// the header's sizes set to edge values, and a few hundred seeded
// corruptions. Whatever the damage, a run ends with status 0, 1 or 255; a
// success writes exactly out_size bytes and nothing on standard error; a
// failure prints exactly one line there and leaves no output file. The cuts
// and the edge sizes are also held to the exact line, status and image each
// one calls for, and each corruption to what the core's own units make of it.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "decompress.h"
#include "demo_format.h"
#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr int FAILED = 255;

// Containers that would decode to more than this are never run: the program
// would write that much. A larger out_size is run only where the stream fails.
constexpr std::uint32_t MAX_WRITTEN = 1 << 20;

struct outcome {
    int status;
    std::string err;             // "IN" stands for the input path
    std::optional<bytes> image;  // the output file on success
    bool huge_image;             // the image buffer may fail to allocate: 255 is allowed too
};

const outcome NOT_A_DEMO{FAILED, "  ERROR: Not a valid compressed demo (IN)!\n", {}, false};

// A decoding that fails with the library's `code`.
outcome decoding_fails(int code, bool huge_image = false) {
    return {
        1, "internal error - decompression failed: " + std::to_string(code) + "\n", {}, huge_image};
}

std::string replace_in(std::string text, const std::string& path) {
    const std::size_t at = text.find("(IN)");
    return at == std::string::npos ? text : text.replace(at + 1, 2, path);
}

class SweepTest : public ::testing::Test {
  protected:
    // Run the program on `container` and hold it to the rules above, and to
    // `want` where the container's outcome is known; returns its status.
    int run(const bytes& container, const std::optional<outcome>& want = std::nullopt) {
        test::write_file(input_, container);
        // A program that wrongly accepted a huge image fails fast at the limit
        // instead of writing gigabytes.
        test::run_options options;
        options.file_size_limit = MAX_WRITTEN;
        const test::run_result r = test::run_unlzon({input_}, options);
        const std::optional<bytes> written = test::read_bytes(output_);
        std::remove(output_.c_str());
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == FAILED) << r.status;
        if (r.status == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(written.has_value());
            if (written && container.size() >= DEMO_HEADER_SIZE) {
                EXPECT_EQ(written->size(), load_be32(container.data() + 8));
            }
        } else {
            EXPECT_TRUE(!r.err.empty() && r.err.find('\n') == r.err.size() - 1) << r.err;
            EXPECT_FALSE(written.has_value());
        }
        if (!want) {
            return r.status;
        }
        const bool out_of_memory = want->huge_image && r.status == FAILED &&
                                   r.err == "  ERROR: Could not allocate " +
                                                std::to_string(load_be32(container.data() + 8)) +
                                                " bytes for the image buffer!\n";
        if (!out_of_memory) {
            EXPECT_EQ(r.status, want->status);
            EXPECT_EQ(r.err, replace_in(want->err, input_));
            EXPECT_EQ(written, want->image);
        }
        return r.status;
    }

    // The outcome that the core's own units give `container`, read from a
    // file and decoded whole in memory, for the program to agree with; nullopt
    // where it may decode to more than MAX_WRITTEN bytes.
    std::optional<outcome> core_outcome(const bytes& container) {
        test::write_file(input_, container);
        std::optional<input_file> file = test_access::open_input(input_.c_str());
        const header_result header = read_demo_header(*file);
        if (header.status != demo_status::ok) {
            return NOT_A_DEMO;
        }
        const payload_result payload = read_demo_payload(*file, header.header);
        if (payload.status != demo_status::ok) {
            return NOT_A_DEMO;
        }
        // Only an output overrun depends on the room given; any other failure
        // within MAX_WRITTEN bytes is the same failure with more room.
        const std::uint32_t out_size = header.header.out_size;
        const std::uint32_t room = std::min(out_size, MAX_WRITTEN);
        const decompress_result decoded =
            decompress_demo_payload(payload.payload->data(), header.header.in_size, room);
        const bool huge = out_size > MAX_WRITTEN;
        if (huge && (decoded.code == LZO_E_OK || decoded.code == LZO_E_OUTPUT_OVERRUN)) {
            return std::nullopt;
        }
        if (!demo_image_accepted(decoded, out_size)) {
            return decoding_fails(decoded.code, huge);
        }
        const unsigned char* const whole = decoded.image->data();
        return outcome{0, "", bytes(whole, whole + room), false};
    }

    test::temp_dir dir_;
    std::string input_ = dir_ / "demo.bin";
    std::string output_ = input_ + ".nds";
};

// An image whose stream has long literal runs, a zero run, short repeating
// records and one far match, in about 110 * scale bytes.
bytes mixed_image(std::size_t scale) {
    bytes image;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < 24 * scale; ++i) {
        state = state * 1103515245u + 12345u;
        image.push_back(static_cast<unsigned char>(state >> 24));
    }
    image.insert(image.end(), 40 * scale, 0x00);
    for (std::size_t i = 0; i < 6 * scale; ++i) {
        image.insert(image.end(), {0x1E, 0xFF, 0x2F, 0xE1, static_cast<unsigned char>(i)});
    }
    const bytes head(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(16 * scale));
    image.insert(image.end(), head.begin(), head.end());
    return image;
}

void set_be32(bytes& container, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        container[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    }
}

TEST_F(SweepTest, EveryCutOfTheFileOrOfTheStreamFails) {
    const bytes image = mixed_image(1);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_999);
    const bytes container = kit::make_container(static_cast<std::uint32_t>(image.size()), stream);
    ASSERT_EQ(run(container, outcome{0, "", image, false}), 0);
    for (std::size_t length = 0; length < container.size(); ++length) {
        SCOPED_TRACE("file cut to " + std::to_string(length) + " bytes");
        const bytes cut(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(length));
        run(cut, NOT_A_DEMO);
    }
    // The header agrees with the cut, so only the decoder can notice.
    for (std::size_t length = 0; length < stream.size(); ++length) {
        SCOPED_TRACE("stream cut to " + std::to_string(length) + " bytes");
        const bytes cut = kit::make_container(
            static_cast<std::uint32_t>(image.size()),
            bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length)));
        run(cut, decoding_fails(LZO_E_INPUT_OVERRUN));
    }
}

TEST_F(SweepTest, SizeFieldsAtTheirEdges) {
    const bytes image = mixed_image(1);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    const auto out = static_cast<std::uint32_t>(image.size());
    const auto in = static_cast<std::uint32_t>(stream.size());
    const bytes good = kit::make_container(out, stream);
    bytes with_trailing_byte = good;
    with_trailing_byte.push_back(0x00);
    // Huge images only where the stream fails: it ends too soon, or the
    // payload goes on after its end marker.
    const bytes cut = kit::make_container(out, bytes(stream.begin(), stream.end() - 4));
    bytes stream_and_byte = stream;
    stream_and_byte.push_back(0x00);
    const bytes byte_after_marker = kit::make_container(out, stream_and_byte);

    bytes padded = image;
    padded.push_back(0x00);
    const outcome overrun = decoding_fails(LZO_E_OUTPUT_OVERRUN);
    const outcome input_overrun = decoding_fails(LZO_E_INPUT_OVERRUN);
    const outcome huge_input_overrun = decoding_fails(LZO_E_INPUT_OVERRUN, true);
    struct case_t {
        const char* name;
        const bytes& base;
        std::size_t offset;  // 8: out_size, 12: in_size
        std::uint32_t value;
        outcome want;
    };
    const case_t cases[] = {
        {"out_size 0", good, 8, 0, overrun},
        {"out_size 1", good, 8, 1, overrun},
        {"out_size one short", good, 8, out - 1, overrun},
        {"out_size one over: padded", good, 8, out + 1, {0, "", padded, false}},
        {"out_size 2^31, stream cut", cut, 8, 0x80000000u, huge_input_overrun},
        {"out_size 2^32-1, stream cut", cut, 8, 0xFFFFFFFFu, huge_input_overrun},
        {"out_size 2^32-1, byte after the end marker", byte_after_marker, 8, 0xFFFFFFFFu,
         decoding_fails(LZO_E_INPUT_NOT_CONSUMED, true)},
        {"in_size 0", good, 12, 0, input_overrun},
        {"in_size 1", good, 12, 1, input_overrun},
        {"in_size one short", good, 12, in - 1, input_overrun},
        {"in_size one over, file ends", good, 12, in + 1, NOT_A_DEMO},
        {"in_size one over, a byte follows", with_trailing_byte, 12, in + 1,
         decoding_fails(LZO_E_INPUT_NOT_CONSUMED)},
        {"in_size 2^31", good, 12, 0x80000000u, NOT_A_DEMO},
        {"in_size 2^32-1", good, 12, 0xFFFFFFFFu, NOT_A_DEMO},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        bytes container = c.base;
        set_be32(container, c.offset, c.value);
        run(container, c.want);
    }
}

// Flipped, inserted and deleted bytes, one to three edits at a time, half of
// them in the header and the stream's first bytes where each byte matters most.
// A failure's trace lists the edits that made its container.
TEST_F(SweepTest, SeededCorruptionsEndCleanly) {
    constexpr int RUNS_PER_BASE = 150;
    const bytes image = mixed_image(6);
    std::mt19937_64 random(20240601);
    const auto below = [&random](std::size_t bound) {
        return static_cast<std::size_t>(random() % bound);
    };
    int statuses[256] = {};
    int skipped = 0;
    for (const kit::compressor method : {kit::compressor::lzo1x_1, kit::compressor::lzo1x_999}) {
        const bytes base = kit::pack_demo(image, method);
        for (int made = 0; made < RUNS_PER_BASE;) {
            bytes container = base;
            std::string edits;
            for (std::size_t n = 1 + below(3); n > 0 && !container.empty(); --n) {
                const std::size_t at = below(2) == 0
                                           ? below(std::min<std::size_t>(24, container.size()))
                                           : below(container.size());
                const auto value = static_cast<unsigned char>(1 + below(255));
                const auto where = container.begin() + static_cast<std::ptrdiff_t>(at);
                switch (below(3)) {
                    case 0:
                        container[at] ^= value;
                        edits += " flip@" + std::to_string(at);
                        break;
                    case 1:
                        container.insert(where, value);
                        edits += " insert@" + std::to_string(at);
                        break;
                    default:
                        container.erase(where);
                        edits += " delete@" + std::to_string(at);
                        break;
                }
            }
            // Half the time the damage came before packing: in_size matches the
            // file, so it is the decoder that has to notice.
            if (below(2) == 0 && container.size() >= DEMO_HEADER_SIZE) {
                set_be32(container, 12,
                         static_cast<std::uint32_t>(container.size() - DEMO_HEADER_SIZE));
                edits += " in_size=file";
            }
            SCOPED_TRACE("edits:" + edits);
            const std::optional<outcome> want = core_outcome(container);
            if (!want) {
                ++skipped;
                continue;
            }
            ++statuses[run(container, want)];
            ++made;
        }
    }
    // The sweep is only worth its time if the damage reaches every outcome.
    EXPECT_GT(statuses[0], 0);
    EXPECT_GT(statuses[1], 0);
    EXPECT_GT(statuses[FAILED], 0);
    EXPECT_LT(skipped, RUNS_PER_BASE);
}

}  // namespace
}  // namespace unlzon
