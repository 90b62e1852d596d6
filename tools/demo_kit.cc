// SPDX-License-Identifier: GPL-2.0-or-later
#include "demo_kit.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "demo_format.h"

namespace unlzon::kit {

namespace {

void store_be32(bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<unsigned char>(value >> shift));
    }
}

// splitmix64: tiny and fully specified, so images do not depend on the
// standard library's distributions.
class rng {
  public:
    explicit rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
    unsigned char byte() { return static_cast<unsigned char>(next()); }

  private:
    std::uint64_t state_;
};

void fill_random(rng& random, unsigned char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = random.byte();
    }
}

// 32-bit little-endian instruction words: a small vocabulary of opcodes with
// varying low operand bits, as in ARM code.
void fill_code(rng& random, unsigned char* out, std::size_t n) {
    static constexpr std::uint32_t OPCODES[] = {0xE1A00000, 0xE3A00000, 0xE5900000, 0xE5800000,
                                                0xEB000000, 0xE12FFF1E, 0xE92D4000, 0xE8BD8000};
    for (std::size_t i = 0; i < n; i += 4) {
        const std::uint32_t operand =
            random.below(8) == 0 ? static_cast<std::uint32_t>(random.next()) & 0xFFF : 0;
        const std::uint32_t word = OPCODES[random.below(std::size(OPCODES))] | operand;
        for (std::size_t k = 0; k < 4 && i + k < n; ++k) {
            out[i + k] = static_cast<unsigned char>(word >> (8 * k));
        }
    }
}

// A table of fixed-size records whose fields mostly repeat.
void fill_records(rng& random, unsigned char* out, std::size_t n) {
    const std::size_t record = 8 + 4 * random.below(7);
    bytes pattern(record);
    fill_random(random, pattern.data(), record);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t field = i % record;
        out[i] = field == 0 ? static_cast<unsigned char>(i / record) : pattern[field];
    }
}

}  // namespace

bytes compress_lzo1x(const bytes& image, compressor method) {
    if (lzo_init() != LZO_E_OK) {
        throw std::runtime_error("lzo_init failed");
    }
    // The documented worst case of LZO1X for incompressible input.
    bytes out(image.size() + image.size() / 16 + 64 + 3);
    bytes work(method == compressor::lzo1x_1 ? LZO1X_1_MEM_COMPRESS : LZO1X_999_MEM_COMPRESS);
    lzo_uint out_len = out.size();
    const int code =
        method == compressor::lzo1x_1
            ? lzo1x_1_compress(image.data(), image.size(), out.data(), &out_len, work.data())
            : lzo1x_999_compress(image.data(), image.size(), out.data(), &out_len, work.data());
    if (code != LZO_E_OK) {
        throw std::runtime_error("LZO1X compression failed");
    }
    out.resize(out_len);
    return out;
}

bytes make_container(std::uint32_t out_size, const bytes& payload) {
    bytes out(DEMO_MAGIC.begin(), DEMO_MAGIC.end());
    store_be32(out, out_size);
    store_be32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bytes pack_demo(const bytes& image, compressor method) {
    return make_container(static_cast<std::uint32_t>(image.size()), compress_lzo1x(image, method));
}

bytes make_demo_image(std::size_t size, std::uint64_t seed) {
    rng random(seed);
    bytes image(size);
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length =
            std::min(size - at, std::size_t{512} + random.below(std::size_t{64} << 10));
        unsigned char* const out = image.data() + at;
        // Weights: 35% packed graphics, 30% code, 15% padding, 20% records.
        const std::size_t kind = random.below(20);
        if (kind < 7) {
            fill_random(random, out, length);
        } else if (kind < 13) {
            fill_code(random, out, length);
        } else if (kind < 16) {
            std::fill(out, out + length, kind % 2 == 0 ? 0x00 : 0xFF);
        } else {
            fill_records(random, out, length);
        }
        at += length;
    }
    return image;
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw std::runtime_error("cannot read " + path);
    }
    return data;
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

}  // namespace unlzon::kit
