// SPDX-License-Identifier: GPL-2.0-or-later
// How the decoding of a payload ended: the one result that travels from the
// decoder call, through the image window and the system's fault guard, to the
// driver, which turns it into the run's line and status.
#pragma once

#include <cstdint>

namespace unlzon {

struct decode_outcome {
    enum class kind {
        decoded,             // the decoder ran to its end: `code` and `actual_size` hold
        no_memory,           // the image's memory could not be had, or its window not moved
        payload_unreadable,  // a page of the payload's view of the file could not be
                             // read: the file was cut short, or the disk failed
        output_not_written,  // decoded, but its bytes could not be written: see `error`
    };
    kind what = kind::decoded;
    int code = 0;                   // the LZO library's result: LZO_E_OK or a negative error
    std::uint32_t actual_size = 0;  // bytes the decoder produced, also when it failed
    int error = 0;                  // output_not_written: errno, or the Windows error
};

/// A decoder of one LZO1X stream: `payload` (in_size bytes) into `image`,
/// which holds `out_size` zero bytes, never reading or writing outside
/// either. Returns `decoded` with the library's code and the bytes produced.
using demo_decoder = decode_outcome (*)(const unsigned char* payload, std::uint32_t in_size,
                                        unsigned char* image, std::uint32_t out_size);

}  // namespace unlzon
