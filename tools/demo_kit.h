// SPDX-License-Identifier: GPL-2.0-or-later
// Makers of test material: synthetic demo images and containers packed with
// liblzo2's own compressors. Used by the tests, the fuzz corpus, the
// benchmark and the bundled sample; the tool itself never writes a container.
#pragma once

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

/// The whole file at `path`; throws std::runtime_error if it cannot be read.
bytes read_file(const std::string& path);

/// Create or replace the file at `path` with `data`; throws std::runtime_error
/// if it cannot be written completely.
void write_file(const std::string& path, const bytes& data);

}  // namespace unlzon::kit
