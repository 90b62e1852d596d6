// SPDX-License-Identifier: GPL-2.0-or-later
#include "decompress.h"

#include <lzo/lzo1x.h>

#include <utility>

namespace unlzon {

std::optional<decompress_result> decompress_demo_payload(const unsigned char* payload,
                                                         std::uint32_t in_size,
                                                         std::uint32_t out_size,
                                                         image_window::sink_type sink) {
    std::optional<image_window> image = image_window::create(out_size, sink);
    if (!image) {
        return std::nullopt;
    }
    const decode_result decoded = image->decode(payload, in_size);
    return decompress_result{decoded, std::move(*image)};
}

decode_result decode_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                  unsigned char* image, std::uint32_t out_size) {
    // The checking decoder stays inside both buffers and refuses references
    // before the start of the image; it needs no work memory.
    lzo_uint produced = out_size;
    const int code = lzo1x_decompress_safe(payload, in_size, image, &produced, nullptr);
    // Bounded by the capacity given above, so it fits the 32-bit field.
    return {code, static_cast<std::uint32_t>(produced), decode_fault::none};
}

bool demo_image_accepted(const decode_result& result, std::uint32_t out_size) {
    return result.fault == decode_fault::none && result.code == LZO_E_OK &&
           result.actual_size <= out_size;
}

}  // namespace unlzon
