// SPDX-License-Identifier: GPL-2.0-or-later
// The image on Windows is always the whole image in memory, written after the
// decoder call: Windows can neither move pages within a reserved range (no
// mremap) nor retry a store from a handler as cheaply, and nothing is read
// through a view of a file here, so nothing can fault.
#include "image_window.h"

namespace unlzon {

struct image_window::pages {};

bool image_window::reserve() noexcept {
    return false;
}

void image_window::release() noexcept {}

decode_outcome image_window::decode(demo_decoder decoder, const unsigned char* payload,
                                    std::uint32_t in_size) {
    return decoder(payload, in_size, whole_->data(), out_size_);
}

unsigned char* image_window::destination() {
    return whole_->data();
}

std::uint64_t image_window::held_from() const {
    return 0;
}

std::size_t image_window::resident_bytes() const {
    return whole_->size();
}

}  // namespace unlzon
