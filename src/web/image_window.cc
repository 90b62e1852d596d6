// SPDX-License-Identifier: GPL-2.0-or-later
// The image in a browser or under node is always the whole image in memory,
// written after the decoder call: WebAssembly has no page protection, so no
// store can fault to move a window along, and the payload is in the heap, so
// no read can fault either. A destination larger than the memory can grow to
// is refused by its allocation ("Could not allocate N bytes for the image
// buffer").
#include "image_window.h"
#include "decompress.h"

namespace unlzon {

struct image_window::pages {};

bool image_window::reserve() noexcept {
    return false;
}

void image_window::release() noexcept {}

decode_result image_window::decode(const unsigned char* payload, std::uint32_t in_size) {
    return decode_demo_payload(payload, in_size, whole_->data(), out_size_);
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
