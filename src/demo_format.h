// SPDX-License-Identifier: GPL-2.0-or-later
// The compressed demo container. Byte by byte from the start of the file:
//
//   offset  size     field     encoding
//        0  8        magic     the bytes 4C 5A 4F 6E 00 2F F1 71 ("LZOn", 00 2F F1 71)
//        8  4        out_size  unsigned 32-bit big-endian: size of the decompressed image
//       12  4        in_size   unsigned 32-bit big-endian: size of the compressed payload
//       16  in_size  payload   one LZO1X stream, from its first byte to its end-of-stream marker
//
// There is no version, checksum or method field: the signature alone identifies
// the format. Bytes after offset 16 + in_size are not part of the container and
// are never read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "buffer.h"
#include "input_file.h"

namespace unlzon {

inline constexpr std::array<unsigned char, 8> DEMO_MAGIC = {0x4C, 0x5A, 0x4F, 0x6E,
                                                            0x00, 0x2F, 0xF1, 0x71};
inline constexpr std::size_t DEMO_HEADER_SIZE = 16;

/// The sizes of a container whose signature matched, as the header gives them.
struct demo_header {
    std::uint32_t in_size;   // compressed payload, bytes
    std::uint32_t out_size;  // decompressed image, bytes
};

enum class demo_status {
    ok,
    not_a_demo,     // wrong signature, or the file ends inside the header or payload
    read_error,     // the system could not read the file
    out_of_memory,  // the payload buffer could not be allocated
};

struct header_result {
    demo_status status;
    demo_header header;  // valid when status is ok
};

struct payload_result {
    demo_status status;
    std::optional<byte_buffer> payload;  // exactly in_size bytes when status is ok
};

/// Validate the signature and decode both sizes. A file shorter than the
/// header, or whose first eight bytes differ from DEMO_MAGIC, is not_a_demo;
/// the sizes themselves are never rejected.
header_result read_demo_header(const input_file& file);

/// The `header.in_size` payload bytes that follow the header, read into a new
/// buffer. A file that ends before the payload does is not_a_demo, found from
/// the file's length before anything is allocated, or from the read itself
/// when the file was cut short since.
payload_result read_demo_payload(const input_file& file, const demo_header& header);

/// Decode an unsigned 32-bit big-endian number, whatever the host's byte order.
constexpr std::uint32_t load_be32(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

}  // namespace unlzon
