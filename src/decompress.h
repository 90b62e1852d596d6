// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding a container's payload into the demo image.
#pragma once

#include <cstdint>
#include <optional>

#include "buffer.h"

namespace unlzon {

struct decompress_result {
    int code = 0;                      // the LZO library's result: LZO_E_OK or a negative error
    std::uint32_t actual_size = 0;     // bytes the decoder produced, also when it failed
    std::optional<byte_buffer> image;  // exactly out_size bytes, zero past actual_size;
                                       // nullopt if its memory could not be had
};

/// Decode `payload` (in_size bytes) as one LZO1X stream, in one call of
/// liblzo2's checking decoder, into a new zero-filled image of exactly
/// `out_size` bytes, never reading or writing outside either buffer. Needs
/// lzo_init() to have succeeded.
decompress_result decompress_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                          std::uint32_t out_size);

/// True when the decoding succeeded: the code is LZO_E_OK and the stream did
/// not claim more than out_size bytes. A shorter image is accepted.
bool demo_image_accepted(const decompress_result& decoded, std::uint32_t out_size);

}  // namespace unlzon
