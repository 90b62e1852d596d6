// SPDX-License-Identifier: GPL-2.0-or-later
// The whole program, run as a user would: exact standard output, standard
// error, exit status and output file for each outcome of a run.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "demo_format.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr int FAILED = 255;  // the tool returns -1

std::string hex(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string size_lines(std::uint64_t in_size, std::uint64_t out_size) {
    return "In size: " + hex(in_size) + "\nOut size: " + hex(out_size) + "\n";
}

std::string success_lines(std::uint64_t in_size, std::uint64_t out_size, std::uint64_t actual,
                          const std::string& output_path) {
    return size_lines(in_size, out_size) + "Actual size: " + hex(actual) + "\nDecompressed " +
           std::to_string(in_size) + " bytes back into " + std::to_string(out_size) +
           " bytes\nDecompressed data written to " + output_path + "\n";
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The lines of a run whose decoding of `payload` fails; the actual size is
// wherever the library's decoder stopped.
std::string failure_lines(const bytes& payload, std::size_t out_size) {
    bytes image(out_size);
    lzo_uint produced = out_size;
    lzo1x_decompress_safe(payload.data(), payload.size(), image.data(), &produced, nullptr);
    return size_lines(payload.size(), out_size) + "Actual size: " + hex(produced) + "\n";
}

class CliTest : public ::testing::Test {
  protected:
    test::temp_dir dir_;
    std::string input_ = dir_ / "demo.bin";
    std::string output_ = input_ + ".nds";
};

// One container per outcome; in the expected texts IN and OUT stand for the
// input and output paths.
TEST_F(CliTest, EachOutcomeHasItsExactMessagesStatusAndOutput) {
    const bytes image = test::sample_image(50000, 11);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    const auto in = stream.size();
    const auto out = image.size();
    const bytes good = kit::make_container(static_cast<std::uint32_t>(out), stream);
    bytes padded_image = image;
    padded_image.resize(out + 4096, 0);
    bytes trailing_garbage = good;
    trailing_garbage.insert(trailing_garbage.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    bytes extra_in_payload = stream;
    extra_in_payload.push_back(0x00);
    const bytes cut_stream(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(in / 2));
    bytes bad_magic = good;
    bad_magic[7] ^= 0xFF;
    bytes truncated = good;
    truncated.resize(truncated.size() - 1);
    bytes huge_claim = kit::make_container(0x100, bytes{1, 2, 3, 4});
    huge_claim[12] = 0xFF;  // in_size 0xFF000004, four bytes present
    const bytes empty_stream = kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1);
    const auto declaring = [](std::size_t out_size, const bytes& payload) {
        return kit::make_container(static_cast<std::uint32_t>(out_size), payload);
    };
    const bytes larger_than_declared = declaring(out - 1, stream);
    const bytes extra_in_payload_container = declaring(out, extra_in_payload);
    const bytes cut_container = declaring(out, cut_stream);
    // One literal, then a match 2041 bytes back, then the end marker.
    const bytes reference_before_start = {0x12, 0x41, 0x7C, 0xFF, 0x11, 0x00, 0x00};
    // A header for 16 bytes that declares `in_size` payload bytes, `present` of them there.
    const auto claiming = [](std::uint32_t in_size, std::size_t present) {
        bytes container = kit::make_container(16, bytes(present, 0x11));
        for (std::size_t i = 0; i < 4; ++i) {
            container[12 + i] = static_cast<unsigned char>(in_size >> (24 - 8 * i));
        }
        return container;
    };
    const std::string not_a_demo = "  ERROR: Not a valid compressed demo (IN)!\n";

    struct case_t {
        std::string name;
        bytes container;
        std::string out;  // standard output after the banner and library lines
        std::string err;
        int status;
        std::optional<bytes> image;  // the output file, or nullopt for none
    };
    std::vector<case_t> cases = {
        {"exact image", good, success_lines(in, out, out, "OUT"), "", 0, image},
        {"bytes after the container are never read", trailing_garbage,
         success_lines(in, out, out, "OUT"), "", 0, image},
        {"short stream is padded with zeros", declaring(out + 4096, stream),
         success_lines(in, out + 4096, out, "OUT"), "", 0, padded_image},
        {"empty image", kit::make_container(0, empty_stream),
         success_lines(empty_stream.size(), 0, 0, "OUT"), "", 0, bytes(0)},
        {"empty stream for 64 bytes is all zeros", kit::make_container(64, empty_stream),
         success_lines(empty_stream.size(), 64, 0, "OUT"), "", 0, bytes(64, 0)},
        {"image larger than declared", larger_than_declared, failure_lines(stream, out - 1),
         "internal error - decompression failed: -5\n", 1, std::nullopt},
        {"bytes after the end marker", extra_in_payload_container,
         failure_lines(extra_in_payload, out), "internal error - decompression failed: -8\n", 1,
         std::nullopt},
        {"stream cut short", cut_container, failure_lines(cut_stream, out),
         "internal error - decompression failed: -4\n", 1, std::nullopt},
        {"empty payload", kit::make_container(16, bytes(0)), failure_lines(bytes(0), 16),
         "internal error - decompression failed: -4\n", 1, std::nullopt},
        {"reference before the image", declaring(16, reference_before_start),
         failure_lines(reference_before_start, 16), "internal error - decompression failed: -6\n",
         1, std::nullopt},
        {"wrong signature", bad_magic, "", not_a_demo, FAILED, std::nullopt},
        {"payload truncated", truncated, size_lines(in, out), not_a_demo, FAILED, std::nullopt},
        {"4 GiB payload claimed by a 20-byte file", huge_claim, size_lines(0xFF000004u, 0x100),
         not_a_demo, FAILED, std::nullopt},
        {"5 payload bytes declared, 4 present", claiming(5, 4), size_lines(5, 16), not_a_demo,
         FAILED, std::nullopt},
        {"1 payload byte declared, none present", claiming(1, 0), size_lines(1, 16), not_a_demo,
         FAILED, std::nullopt},
        // Refused before anything near the declared size is allocated.
        {"2^32-1 payload bytes declared, 4 present", claiming(0xFFFFFFFFu, 4),
         size_lines(0xFFFFFFFFu, 16), not_a_demo, FAILED, std::nullopt},
        {"2^31 payload bytes declared, none present", claiming(0x80000000u, 0),
         size_lines(0x80000000u, 16), not_a_demo, FAILED, std::nullopt},
    };
    for (std::size_t at = 0; at < DEMO_MAGIC.size(); ++at) {
        bytes container = good;
        container[at] ^= 0x01;
        cases.push_back({"signature byte " + std::to_string(at) + " differs", container, "",
                         not_a_demo, FAILED, std::nullopt});
    }
    for (std::size_t length = 0; length < DEMO_HEADER_SIZE; ++length) {
        cases.push_back({"only the first " + std::to_string(length) + " bytes of a header",
                         bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)),
                         "", not_a_demo, FAILED, std::nullopt});
    }
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(input_, c.container);
        const test::run_result r = test::run_unlzon({input_});
        EXPECT_EQ(r.out, test::banner_and_library() + replace_all(c.out, "OUT", output_));
        EXPECT_EQ(r.err, replace_all(c.err, "IN", input_));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(test::read_bytes(output_), c.image);
        std::remove(output_.c_str());
    }
}

TEST_F(CliTest, WrongArgumentCountPrintsUsageWithoutLibraryLines) {
    const std::vector<std::vector<std::string>> arg_lists = {{}, {"a", "b"}, {"a", "b", "c"}};
    for (const auto& args : arg_lists) {
        const test::run_result r = test::run_unlzon(args);
        EXPECT_EQ(r.out, test::banner());
        EXPECT_EQ(r.err, "  Usage: " UNLZON_PATH " <in>\n\n");
        EXPECT_EQ(r.status, FAILED);
    }
}

TEST_F(CliTest, UnopenableInputNamesThePath) {
    for (const std::string& path : {dir_ / "missing.bin", dir_.path()}) {
        const test::run_result r = test::run_unlzon({path});
        EXPECT_EQ(r.out, test::banner_and_library());
        EXPECT_EQ(r.err, "  ERROR: Could not open input file (" + path + ")!\n");
        EXPECT_EQ(r.status, FAILED);
    }
}

TEST_F(CliTest, FailuresNeverTouchAnExistingOutputFile) {
    const bytes earlier = {'k', 'e', 'e', 'p'};
    const bytes image = test::sample_image(4000);
    bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    stream.push_back(0);  // a byte after the end marker
    const bytes corrupt = kit::make_container(4000, stream);
    bytes bad_magic = kit::pack_demo(image);
    bad_magic[0] = 'X';
    for (const bytes& container : {corrupt, bad_magic}) {
        test::write_file(input_, container);
        test::write_file(output_, earlier);
        const test::run_result r = test::run_unlzon({input_});
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(test::read_bytes(output_), earlier);
    }
}

TEST_F(CliTest, OddPathsGetNdsAppendedBesideTheInput) {
    const bytes image = test::sample_image(3000);
    ASSERT_TRUE(std::filesystem::create_directory(dir_ / "sub dir"));
    const std::string paths[] = {
        dir_ / "sub dir/my demo.bin",
        dir_ / "already.nds",     // becomes already.nds.nds; the input stays
        dir_ / "100%s %d%n.bin",  // printf directives in a path are only text
        dir_ / "no_extension",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const bytes container = kit::pack_demo(image);
        test::write_file(path, container);
        const test::run_result r = test::run_unlzon({path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("Decompressed data written to " + path + ".nds\n"), std::string::npos);
        EXPECT_EQ(test::read_bytes(path + ".nds"), image);
        EXPECT_EQ(test::read_bytes(path), container);
    }
}

TEST_F(CliTest, RelativePathWritesIntoTheWorkingDirectory) {
    const bytes image = test::sample_image(3000);
    test::write_file(input_, kit::pack_demo(image));
    test::run_options options;
    options.working_dir = dir_.path();
    const test::run_result r = test::run_unlzon({"demo.bin"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Decompressed data written to demo.bin.nds\n"), std::string::npos);
    EXPECT_EQ(test::read_bytes(output_), image);
}

TEST_F(CliTest, LinesKeepTheRunsOrderWhenBothStreamsShareAPipe) {
    test::write_file(input_, kit::make_container(8, bytes(0)));
    test::run_options options;
    options.merge_streams = true;
    const test::run_result r = test::run_unlzon({input_}, options);
    EXPECT_EQ(r.out, test::banner_and_library() + size_lines(0, 8) +
                         "Actual size: 0\ninternal error - decompression failed: -4\n");
    EXPECT_EQ(r.status, 1);
}

// Address-space limits would starve the sanitizers' own shadow memory
// (UNDER_ADDRESS_SANITIZER).

TEST_F(CliTest, BufferThatCannotBeAllocatedIsOneErrorLine) {
#ifdef _WIN32
    GTEST_SKIP() << "address-space limits (RLIMIT_AS) are POSIX only";
#else
#ifdef UNDER_ADDRESS_SANITIZER
    GTEST_SKIP() << "address-space limit not usable under AddressSanitizer";
#endif
    if (!test::memory_limit_enforced()) {
        // Unlimited, the image case would succeed and write a 4 GiB file.
        GTEST_SKIP() << "the address-space limit (RLIMIT_AS) is not enforced here, "
                        "as under qemu-user, which ignores it";
    }
    const std::uint64_t big = 3u << 29;  // 1.5 GiB, over the 1 GiB limit below
    const bytes end_marker = kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1);
    bytes huge_payload = kit::make_container(16, bytes(0));
    huge_payload[12] = static_cast<unsigned char>(big >> 24);

    struct case_t {
        const char* name;
        bytes container;
        std::uint64_t sparse_length;  // the file is extended to this length, 0 for none
        std::string out;
        std::string err;
    };
    const case_t cases[] = {
        {"payload", huge_payload, 16 + big, size_lines(big, 16),
         "  ERROR: Could not allocate 1610612736 bytes for the payload buffer!\n"},
        {"image", kit::make_container(0xFFFFFFFFu, end_marker), 0,
         size_lines(end_marker.size(), 0xFFFFFFFFu),
         "  ERROR: Could not allocate 4294967295 bytes for the image buffer!\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(input_, c.container);
        if (c.sparse_length != 0) {
            ASSERT_EQ(truncate(input_.c_str(), static_cast<off_t>(c.sparse_length)), 0);
        }
        test::run_options options;
        options.memory_limit = std::uint64_t{1} << 30;
        const test::run_result r = test::run_unlzon({input_}, options);
        EXPECT_EQ(r.out, test::banner_and_library() + c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, FAILED);
        EXPECT_FALSE(test::read_bytes(output_).has_value());
    }

    // A heap that can barely be had, or not at all (ulimit -d), under a short
    // name and a long one: every run writes the image or ends with one
    // allocation line, never of a signal (std::terminate).
    const bytes image = test::sample_image(1 << 20, 5);
    const std::string long_input = dir_ / (std::string(200, 'x') + ".bin");
    for (const std::string& input : {input_, long_input}) {
        test::write_file(input, kit::pack_demo(image));
        for (std::uint64_t kib = 160; kib <= 480; kib += 16) {
            SCOPED_TRACE(std::to_string(kib) + " KiB of data for " + input);
            (void)std::remove((input + ".nds").c_str());
            test::run_options options;
            options.data_limit = kib << 10;
            // Too little for the program to start at all (the dynamic loader
            // gives up, a static program's start-up faults), before any code
            // of its own runs: nothing it could report.
            const bool started = test::run_unlzon({}, options).status == FAILED;
#if UNLZON_STATIC_PROGRAM
            // The README's figure: glibc's static start-up needs about 190 KiB.
            EXPECT_EQ(started, kib >= 192) << "the static program's start";
#endif
            if (!started) {
                continue;
            }
            const test::run_result r = test::run_unlzon({input}, options);
            EXPECT_EQ(r.signal, 0) << r.err;
            if (r.status == 0) {
                EXPECT_EQ(test::read_bytes(input + ".nds"), image);
            } else {
                EXPECT_EQ(r.status, FAILED);
                EXPECT_EQ(r.err.rfind("  ERROR: Could not allocate ", 0), 0u) << r.err;
                EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
                EXPECT_FALSE(test::read_bytes(input + ".nds").has_value());
            }
        }
    }
#endif
}

}  // namespace
}  // namespace unlzon
