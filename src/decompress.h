// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding a container's payload into the demo image.
#pragma once

#include <cstdint>
#include <optional>

#include "buffer.h"

namespace unlzon {

struct decode_result {
    int code;                   // the LZO library's result: LZO_E_OK or a negative error
    std::uint32_t actual_size;  // bytes the decoder produced, also when it failed
};

struct decompress_result : decode_result {
    byte_buffer image;  // always exactly out_size bytes, zero past actual_size
};

/// Decode `payload` (in_size bytes) as one LZO1X stream into `image`, which
/// holds `out_size` zero bytes, never reading or writing outside either
/// buffer. Needs lzo_init() to have succeeded.
decode_result decode_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                  unsigned char* image, std::uint32_t out_size);

/// The same into a new zero-filled image of exactly `out_size` bytes; nullopt
/// if the image cannot be allocated.
std::optional<decompress_result> decompress_demo_payload(const unsigned char* payload,
                                                         std::uint32_t in_size,
                                                         std::uint32_t out_size);

/// True when the decoding succeeded: the code is LZO_E_OK and the stream did
/// not claim more than out_size bytes. A shorter image is accepted.
bool demo_image_accepted(const decode_result& result, std::uint32_t out_size);

}  // namespace unlzon
