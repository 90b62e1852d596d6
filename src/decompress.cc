// SPDX-License-Identifier: GPL-2.0-or-later
#include "decompress.h"

#include <lzo/lzo1x.h>

namespace unlzon {

decompress_result decompress_demo_payload(const unsigned char* payload, std::uint32_t in_size,
                                          std::uint32_t out_size) {
    decompress_result result;
    result.image = byte_buffer::allocate(out_size);
    if (!result.image) {
        return result;
    }
    // The checking decoder stays inside both buffers and refuses references
    // before the start of the image; it needs no work memory.
    lzo_uint produced = out_size;
    result.code = lzo1x_decompress_safe(payload, in_size, result.image->data(), &produced, nullptr);
    // Bounded by the capacity given above, so it fits the 32-bit field.
    result.actual_size = static_cast<std::uint32_t>(produced);
    return result;
}

bool demo_image_accepted(const decompress_result& decoded, std::uint32_t out_size) {
    return decoded.image.has_value() && decoded.code == LZO_E_OK && decoded.actual_size <= out_size;
}

}  // namespace unlzon
