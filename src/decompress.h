// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding a container's payload into the demo image.
#pragma once

#include <cstdint>

#include "decode_outcome.h"
#include "image_window.h"

namespace unlzon {

struct decompress_result {
    decode_outcome outcome;
    image_window image;  // exactly out_size bytes, zero past actual_size; none if no_memory
};

/// Decode `payload` (in_size bytes) as one LZO1X stream into a new zero-filled
/// image of exactly `out_size` bytes, whose bytes go, in order, to the open
/// file `sink` as the decoding proceeds (see image_window; NO_SINK: nowhere).
/// Needs lzo_init() to have succeeded.
decompress_result decompress_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                          std::uint32_t out_size,
                                          image_window::sink_type sink = image_window::NO_SINK);

/// The decoder itself (a demo_decoder): decode `payload` into `image`, which
/// holds `out_size` zero bytes, with liblzo2's checking decoder, never reading
/// or writing outside either buffer.
decode_outcome decode_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                   unsigned char* image, std::uint32_t out_size);

/// True when the decoding succeeded: it ran to its end, the code is LZO_E_OK
/// and the stream did not claim more than out_size bytes. A shorter image is
/// accepted.
bool demo_image_accepted(const decode_outcome& outcome, std::uint32_t out_size);

}  // namespace unlzon
