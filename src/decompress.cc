// SPDX-License-Identifier: GPL-2.0-or-later
#include "decompress.h"

#include <lzo/lzo1x.h>

#include <optional>
#include <utility>

namespace unlzon {

decompress_result decompress_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                          std::uint32_t out_size, image_window::sink_type sink) {
    std::optional<image_window> image = image_window::create(out_size, sink);
    if (!image) {
        return {decode_outcome{decode_outcome::kind::no_memory, 0, 0, 0}, image_window{}};
    }
    const decode_outcome outcome = image->decode(decode_demo_payload, payload, in_size);
    return {outcome, std::move(*image)};
}

decode_outcome decode_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                   unsigned char* image, std::uint32_t out_size) {
    // The checking decoder stays inside both buffers and refuses references
    // before the start of the image; it needs no work memory.
    lzo_uint produced = out_size;
    const int code = lzo1x_decompress_safe(payload, in_size, image, &produced, nullptr);
    // Bounded by the capacity given above, so it fits the 32-bit field.
    return {decode_outcome::kind::decoded, code, static_cast<std::uint32_t>(produced), 0};
}

bool demo_image_accepted(const decode_outcome& outcome, std::uint32_t out_size) {
    return outcome.what == decode_outcome::kind::decoded && outcome.code == LZO_E_OK &&
           outcome.actual_size <= out_size;
}

}  // namespace unlzon
