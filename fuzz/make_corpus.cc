// SPDX-License-Identifier: GPL-2.0-or-later
// make_corpus: writes the fuzz target's seed containers into DIR, one file
// each, all of them valid and each at most 64 KiB (the fuzzer's -max_len).
//
//   make_corpus DIR
//
// The seeds cover both compressors, the empty image, tiny images whose
// streams use the short literal forms, images shorter than declared, and the
// image mixes that drive the decoder's different match encodings.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "demo_kit.h"

namespace {

using unlzon::kit::bytes;
using unlzon::kit::compressor;

constexpr std::size_t MAX_SEED_SIZE = 64 * 1024;

class seed_writer {
  public:
    explicit seed_writer(std::string dir) : dir_(std::move(dir)) {}

    void write(const std::string& name, const bytes& container) {
        if (container.size() > MAX_SEED_SIZE) {
            throw std::runtime_error(name + " is larger than the fuzzer's input limit");
        }
        unlzon::kit::write_file(dir_ + "/" + name, container);
        ++count_;
    }

    // The image packed with each compressor, declaring `extra` bytes more than it holds.
    void pack(const std::string& name, const bytes& image, std::uint32_t extra = 0) {
        for (const compressor method : {compressor::lzo1x_1, compressor::lzo1x_999}) {
            const char* const tag = method == compressor::lzo1x_1 ? "lzo1x_1" : "lzo1x_999";
            const auto out_size = static_cast<std::uint32_t>(image.size()) + extra;
            write(
                std::string(tag) + "-" + name,
                unlzon::kit::make_container(out_size, unlzon::kit::compress_lzo1x(image, method)));
        }
    }

    int count() const { return count_; }

  private:
    std::string dir_;
    int count_ = 0;
};

bytes filled(std::size_t size, unsigned char value) {
    return bytes(size, value);
}

// Incompressible: every byte a fresh draw of a 64-bit LCG's high bits.
bytes noise(std::size_t size, std::uint64_t seed) {
    bytes image(size);
    for (unsigned char& byte : image) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        byte = static_cast<unsigned char>(seed >> 56);
    }
    return image;
}

bytes ascending(std::size_t size) {
    bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<unsigned char>(i);
    }
    return image;
}

void make_seeds(seed_writer& seeds) {
    seeds.pack("empty", bytes{});
    static constexpr std::size_t TINY_SIZES[] = {1, 2, 3, 4, 7, 16, 31, 64, 255, 256, 1000};
    for (const std::size_t size : TINY_SIZES) {
        const std::string n = std::to_string(size);
        seeds.pack("tiny-mix-" + n, unlzon::kit::make_demo_image(size, size));
        seeds.pack("tiny-ascending-" + n, ascending(size));
    }
    // Declared larger than the stream: the rest of the image stays zero. The
    // 2 MiB and 16 MiB ones reach the kernel-mapped buffers; the latter is
    // exactly the largest image the fuzzer decodes.
    const bytes small = unlzon::kit::make_demo_image(3000, 7);
    seeds.pack("padded-4096", small, 4096);
    seeds.pack("padded-to-2MiB", small, (std::uint32_t{2} << 20) - 3000);
    seeds.pack("padded-to-16MiB", small, (std::uint32_t{16} << 20) - 3000);
    seeds.pack("empty-padded-1", bytes{}, 1);

    seeds.pack("zeros-48K", filled(48 * 1024, 0x00));
    seeds.pack("ones-48K", filled(48 * 1024, 0xFF));
    seeds.pack("ascending-40K", ascending(40 * 1024));
    seeds.pack("noise-2K", noise(2048, 3));
    static constexpr std::uint64_t MIX_SEEDS[] = {1, 2, 5, 11, 42};
    for (const std::uint64_t seed : MIX_SEEDS) {
        seeds.pack("mix-16K-seed" + std::to_string(seed),
                   unlzon::kit::make_demo_image(16 * 1024, seed));
    }
    seeds.pack("mix-60K", unlzon::kit::make_demo_image(60 * 1024, 9));

    // Bytes after the container are not part of it.
    bytes trailing = unlzon::kit::pack_demo(small);
    trailing.insert(trailing.end(), {0x11, 0x00, 0x00, 0xDE, 0xAD});
    seeds.write("trailing-bytes", trailing);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    try {
        seed_writer seeds(argv[1]);
        make_seeds(seeds);
        std::printf("%d seeds written to %s\n", seeds.count(), argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_corpus: %s\n", e.what());
        return 1;
    }
    return 0;
}
