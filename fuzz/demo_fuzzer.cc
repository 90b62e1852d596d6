// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer target: any bytes as a container file, taken through the core in
// the program's order (header, truncation check and payload, decoding,
// acceptance), aborting as soon as a call breaks its contract.
//
// The bytes reach the core as a real file: an in-memory file reopened through
// /proc/self/fd, so that every input goes through the same open, fstat and
// pread calls as a demo on disk, without touching a disk.
#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "buffer.h"
#include "decompress.h"
#include "demo_format.h"
#include "input_file.h"
#include "test_access.h"

namespace {

using namespace unlzon;

// Images are allocated and zero-checked whole; a declared size above this is
// still parsed but not decoded, so that one input cannot take gigabytes.
constexpr std::uint32_t MAX_FUZZ_OUT_SIZE = std::uint32_t{16} << 20;

// liblzo2 is built without coverage hooks, so libFuzzer cannot tell one
// decoder path from another and would keep only inputs that are new to the
// thin core. Each outcome of a decoding (the decoder's code, whether the image
// was filled exactly, and how far the decoder got in quarter-octave steps)
// lights its own counter in the section libFuzzer reads as extra coverage, so
// inputs that decode further or fail differently are kept and mutated.
constexpr std::size_t CODE_SLOTS = 16;
constexpr std::size_t SIZE_SLOTS = 33 * 4;
__attribute__((used, section("__libfuzzer_extra_counters")))
std::uint8_t outcome_counters[CODE_SLOTS * 2 * SIZE_SLOTS];

std::size_t size_slot(std::uint32_t n) {
    if (n == 0) {
        return 0;
    }
    const auto width = static_cast<unsigned>(32 - __builtin_clz(n));
    const std::uint32_t below_top = width >= 3 ? n >> (width - 3) & 3 : n << (3 - width) & 3;
    return width * 4 + below_top;
}

void note_outcome(int code, bool filled, std::uint32_t actual_size) {
    const auto code_slot = static_cast<std::size_t>(code >= 0 ? 0 : code > -16 ? -code : 15);
    const std::size_t slot = (code_slot * 2 + (filled ? 1 : 0)) * SIZE_SLOTS;
    ++outcome_counters[slot + size_slot(actual_size)];
}

int backing_fd = -1;
std::string backing_path;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "contract broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// Read independently of the core's own decoding of the fields.
std::uint32_t be32(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// The first byte is zero and every byte equals its successor.
bool all_zero(const unsigned char* bytes, std::size_t count) {
    return count == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

void store(const std::uint8_t* data, std::size_t size) {
    check(ftruncate(backing_fd, 0) == 0, "cannot empty the backing file");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(backing_fd, data + done, size - done, static_cast<off_t>(done));
        check(put > 0, "cannot fill the backing file");
        done += static_cast<std::size_t>(put);
    }
}

void decode_and_check(const unsigned char* payload, std::uint32_t in_size, std::uint32_t out_size) {
    const decompress_result decoded = decompress_demo_payload(payload, in_size, out_size);
    check(decoded.image.has_value(), "image of at most 16 MiB not allocated");
    check(decoded.image->size() == out_size, "image size differs from out_size");
    check(decoded.actual_size <= out_size, "decoder claims more than out_size bytes");
    note_outcome(decoded.code, decoded.actual_size == out_size, decoded.actual_size);
    const bool accepted = demo_image_accepted(decoded, out_size);
    check(accepted == (decoded.code == LZO_E_OK), "acceptance differs from the decoder's code");
    if (!accepted) {
        check(decoded.code < 0, "rejected image with a non-negative code");
    } else {
        check(all_zero(decoded.image->data() + decoded.actual_size, out_size - decoded.actual_size),
              "accepted image is not zero after actual_size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (lzo_init() != LZO_E_OK) {
        fail("lzo_init");
    }
    backing_fd = memfd_create("unlzon-fuzz", MFD_CLOEXEC);
    check(backing_fd >= 0, "memfd_create");
    backing_path = "/proc/self/fd/" + std::to_string(backing_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    store(data, size);
    std::optional<input_file> file = test_access::open_input(backing_path.c_str());
    check(file.has_value(), "backing file does not open");
    check(file->size() == size, "input_file::size differs from the file's length");

    const header_result header = read_demo_header(*file);
    const bool signed_demo =
        size >= DEMO_HEADER_SIZE && std::memcmp(data, DEMO_MAGIC.data(), DEMO_MAGIC.size()) == 0;
    if (!signed_demo) {
        check(header.status == demo_status::not_a_demo, "unsigned or short file accepted");
        return 0;
    }
    check(header.status == demo_status::ok, "signed file of 16+ bytes refused");
    const std::uint32_t out_size = be32(data + 8);
    const std::uint32_t in_size = be32(data + 12);
    check(header.header.out_size == out_size, "out_size misread");
    check(header.header.in_size == in_size, "in_size misread");

    payload_result payload = read_demo_payload(*file, header.header);
    if (size - DEMO_HEADER_SIZE < in_size) {
        check(payload.status == demo_status::not_a_demo && !payload.payload,
              "truncated payload accepted");
        return 0;
    }
    check(payload.status == demo_status::ok && payload.payload.has_value(),
          "complete payload refused");
    check(payload.payload->size() == in_size, "payload size differs from in_size");
    check(
        in_size == 0 || std::memcmp(payload.payload->data(), data + DEMO_HEADER_SIZE, in_size) == 0,
        "payload bytes differ from the file's");
    file.reset();

    if (out_size <= MAX_FUZZ_OUT_SIZE) {
        decode_and_check(payload.payload->data(), in_size, out_size);
    }
    return 0;
}
