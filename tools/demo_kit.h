// SPDX-License-Identifier: GPL-2.0-or-later
// Makers of test material: synthetic demo images and containers packed with
// liblzo2's own compressors. Used by the tests, the fuzz corpus, the
// benchmark and the bundled sample; the tool itself never writes a container.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace unlzon::kit {

using bytes = std::vector<unsigned char>;

enum class compressor {
    lzo1x_1,    // the fast compressor, as demos are usually packed
    lzo1x_999,  // the slow, thorough one: longer matches, other code paths in the decoder
};

/// Compress `image` as one LZO1X stream, end-of-stream marker included.
bytes compress_lzo1x(const bytes& image, compressor method);

/// A container: signature, `out_size` and the payload's size (both big-endian), payload.
bytes make_container(std::uint32_t out_size, const bytes& payload);

/// `image` compressed and wrapped in a container that declares its exact size.
bytes pack_demo(const bytes& image, compressor method = compressor::lzo1x_1);

/// A synthetic demo image of `size` bytes, the same for the same seed on every
/// host: a mix of incompressible stretches (packed graphics), code-like
/// stretches, 0x00 and 0xFF padding and repeated small records.
bytes make_demo_image(std::size_t size, std::uint64_t seed);

/// What make_nds_image writes into an image's header and banner (the layout
/// that web/identity.js reads).
struct nds_identity {
    std::string title;  ///< at most 12 bytes at 0x000, NUL-padded
    std::string code;   ///< at most 4 bytes at 0x00C
    std::string maker;  ///< at most 2 bytes at 0x010
    bool header_checksum_ok = true;
    std::uint32_t banner_offset = 0x1000;  ///< stored at 0x068; 0: no banner
    std::uint16_t banner_version = 1;
    bool banner_checksum_ok = true;
    std::array<unsigned char, 32 * 32> icon{};  ///< each pixel's palette index (0-15), row by row
    std::array<std::uint16_t, 16> palette{};    ///< 15-bit BGR colours; bit 15 is unused
    /// UTF-16 titles by language number (0 ja, 1 en, 2 fr, 3 de, 4 it, 5 es,
    /// 6 zh, 7 ko), each at most 128 units; an empty one stays all NUL. Each
    /// is written at its place whatever the version, so that a reader can be
    /// checked to skip those its version has not.
    std::array<std::u16string, 8> titles{};
};

/// make_demo_image(size, seed) with `identity` written over its header and,
/// unless its offset is 0, its banner, both cut where the image ends; throws
/// std::invalid_argument for a field too long or a banner within the header.
bytes make_nds_image(std::size_t size, std::uint64_t seed, const nds_identity& identity);

/// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF) of `size` bytes, as an
/// image's header and banner hold it.
std::uint16_t crc16_modbus(const unsigned char* data, std::size_t size);

/// The whole file at `path`; throws std::runtime_error if it cannot be read.
bytes read_file(const std::string& path);

/// Create or replace the file at `path` with `data`; throws std::runtime_error
/// if it cannot be written completely.
void write_file(const std::string& path, const bytes& data);

}  // namespace unlzon::kit
