// SPDX-License-Identifier: GPL-2.0-or-later
#include "demo_format.h"

#include <algorithm>
#include <utility>

namespace unlzon {

namespace {

constexpr std::uint64_t OUT_SIZE_OFFSET = 8;
constexpr std::uint64_t IN_SIZE_OFFSET = 12;

demo_status status_of(read_status status) {
    switch (status) {
        case read_status::ok:
            return demo_status::ok;
        case read_status::end_of_file:
            return demo_status::not_a_demo;
        case read_status::error:
            break;
    }
    return demo_status::read_error;
}

// A size field is read on its own, by position, so that no field depends on
// where the previous read left the file.
demo_status read_be32_at(const input_file& file, std::uint64_t offset, std::uint32_t& value) {
    unsigned char bytes[4] = {};
    const demo_status status = status_of(file.read_at(offset, bytes, sizeof bytes));
    if (status == demo_status::ok) {
        value = load_be32(bytes);
    }
    return status;
}

}  // namespace

header_result read_demo_header(const input_file& file) {
    header_result result{demo_status::not_a_demo, demo_header{0, 0}};
    // A file too short for the header would leave bytes undefined; nothing that
    // was never read may decide anything.
    if (file.size() < DEMO_HEADER_SIZE) {
        return result;
    }
    std::array<unsigned char, DEMO_MAGIC.size()> magic{};
    result.status = status_of(file.read_at(0, magic.data(), magic.size()));
    if (result.status != demo_status::ok) {
        return result;
    }
    if (!std::equal(magic.begin(), magic.end(), DEMO_MAGIC.begin())) {
        result.status = demo_status::not_a_demo;
        return result;
    }
    // in_size first, as the sizes are reported in that order.
    result.status = read_be32_at(file, IN_SIZE_OFFSET, result.header.in_size);
    if (result.status == demo_status::ok) {
        result.status = read_be32_at(file, OUT_SIZE_OFFSET, result.header.out_size);
    }
    return result;
}

payload_result read_demo_payload(const input_file& file, const demo_header& header) {
    // A truncated download that claims a 4 GiB payload must fail here, not
    // after allocating 4 GiB.
    if (file.size() < DEMO_HEADER_SIZE + std::uint64_t{header.in_size}) {
        return {demo_status::not_a_demo, std::nullopt};
    }
    std::optional<byte_buffer> payload = byte_buffer::allocate(header.in_size);
    if (!payload) {
        return {demo_status::out_of_memory, std::nullopt};
    }
    const demo_status status =
        status_of(file.read_at(DEMO_HEADER_SIZE, payload->data(), payload->size()));
    if (status != demo_status::ok) {
        return {status, std::nullopt};
    }
    return {demo_status::ok, std::move(payload)};
}

}  // namespace unlzon
