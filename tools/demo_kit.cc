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

void store_le16(unsigned char* out, std::uint16_t value) {
    out[0] = static_cast<unsigned char>(value);
    out[1] = static_cast<unsigned char>(value >> 8);
}

// `field` NUL-padded to `width` bytes at `offset` of `out`, cut where `out` ends.
void put_text(bytes& out, std::size_t offset, std::size_t width, const std::string& field,
              const char* name) {
    if (field.size() > width) {
        throw std::invalid_argument(std::string(name) + " longer than " + std::to_string(width) +
                                    " bytes: " + field);
    }
    for (std::size_t i = 0; i < width && offset + i < out.size(); ++i) {
        out[offset + i] = i < field.size() ? static_cast<unsigned char>(field[i]) : 0;
    }
}

constexpr std::size_t HEADER_CHECKED = 0x15E;  // the header's CRC-16 covers 0x000-0x15D
constexpr std::size_t HEADER_SIZE = 0x160;
constexpr std::size_t BANNER_CHECKED = 0x20;  // each banner CRC-16 starts at +0x020
constexpr std::size_t BANNER_ICON = 0x20;
constexpr std::size_t BANNER_PALETTE = 0x220;
constexpr std::size_t BANNER_TITLES = 0x240;
constexpr std::size_t TITLE_UNITS = 128;

// The banner's bytes: version, CRCs (+0x002 over the six titles' banner; from
// version 2 +0x004 with Chinese, from 3 +0x006 with Korean), icon, palette, titles.
bytes make_banner(const nds_identity& identity) {
    std::size_t languages = identity.banner_version >= 3 ? 8 : identity.banner_version >= 2 ? 7 : 6;
    for (std::size_t n = languages; n < identity.titles.size(); ++n) {
        if (!identity.titles[n].empty()) {
            languages = n + 1;
        }
    }
    bytes banner(BANNER_TITLES + 0x100 * languages);
    store_le16(&banner[0], identity.banner_version);
    for (std::size_t y = 0; y < 32; ++y) {
        for (std::size_t x = 0; x < 32; ++x) {
            const unsigned index = identity.icon[y * 32 + x];
            if (index > 15) {
                throw std::invalid_argument("icon pixel beyond the palette's 16 colours");
            }
            // 4x4 tiles of 8x8 pixels, tile by tile; the low nibble is the left pixel.
            const std::size_t pixel = ((y / 8) * 4 + x / 8) * 64 + (y % 8) * 8 + x % 8;
            banner[BANNER_ICON + pixel / 2] |=
                static_cast<unsigned char>(index << (4 * (pixel % 2)));
        }
    }
    for (std::size_t i = 0; i < identity.palette.size(); ++i) {
        store_le16(&banner[BANNER_PALETTE + 2 * i], identity.palette[i]);
    }
    for (std::size_t n = 0; n < identity.titles.size(); ++n) {
        const std::u16string& title = identity.titles[n];
        if (title.size() > TITLE_UNITS) {
            throw std::invalid_argument("banner title longer than 128 UTF-16 units");
        }
        for (std::size_t i = 0; i < title.size(); ++i) {
            store_le16(&banner[BANNER_TITLES + 0x100 * n + 2 * i], title[i]);
        }
    }
    for (std::size_t k = 0; k < 3 && BANNER_TITLES + 0x100 * (6 + k) <= banner.size(); ++k) {
        if (k > 0 && identity.banner_version < 1 + k) {
            break;
        }
        const std::size_t end = BANNER_TITLES + 0x100 * (6 + k);
        store_le16(&banner[2 + 2 * k], crc16_modbus(&banner[BANNER_CHECKED], end - BANNER_CHECKED));
    }
    if (!identity.banner_checksum_ok) {
        banner[2] ^= 0xFF;
    }
    return banner;
}

}  // namespace

std::uint16_t crc16_modbus(const unsigned char* data, std::size_t size) {
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

bytes make_nds_image(std::size_t size, std::uint64_t seed, const nds_identity& identity) {
    if (identity.banner_offset != 0 && identity.banner_offset < HEADER_SIZE) {
        throw std::invalid_argument("banner within the header");
    }
    bytes image = make_demo_image(size, seed);
    put_text(image, 0x000, 12, identity.title, "title");
    put_text(image, 0x00C, 4, identity.code, "game code");
    put_text(image, 0x010, 2, identity.maker, "maker code");
    for (std::size_t k = 0; k < 4 && 0x068 + k < image.size(); ++k) {
        image[0x068 + k] = static_cast<unsigned char>(identity.banner_offset >> (8 * k));
    }
    if (image.size() >= HEADER_SIZE) {
        std::uint16_t crc = crc16_modbus(image.data(), HEADER_CHECKED);
        if (!identity.header_checksum_ok) {
            crc = static_cast<std::uint16_t>(~crc);
        }
        store_le16(&image[HEADER_CHECKED], crc);
    }
    if (identity.banner_offset != 0 && identity.banner_offset < image.size()) {
        const bytes banner = make_banner(identity);
        const std::size_t room = image.size() - identity.banner_offset;
        std::copy_n(banner.begin(), std::min(room, banner.size()),
                    image.begin() + static_cast<std::ptrdiff_t>(identity.banner_offset));
    }
    return image;
}

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
