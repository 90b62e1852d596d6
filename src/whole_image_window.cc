// SPDX-License-Identifier: GPL-2.0-or-later
// The image window where the system cannot move pages along the decoding
// front: the whole image in memory, written after the decoder call. Windows
// has no mremap, and a store cannot be retried as cheaply from its handler;
// WebAssembly has no page protection at all. Nothing is read through a view
// of a file on either, so nothing can fault. A destination larger than the
// memory can give is refused by its allocation ("Could not allocate N bytes
// for the image buffer").
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
