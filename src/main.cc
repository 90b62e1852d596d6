// SPDX-License-Identifier: GPL-2.0-or-later
// unlzon: unpack a compressed game demo into PATH.nds.
//
// The driver sequences the run and owns every message and exit status; each
// unit it calls returns one kind of result, never prints and never exits:
//  - process_status from preparing the process (process.h);
//  - std::optional from opening the demo's folder and the demo itself, where
//    "not" has one meaning: it cannot be opened (folder.h, input_file.h);
//  - demo_status from the container reader (demo_format.h);
//  - decompress_result from the decoder: the LZO library's own code, and no
//    image where its memory cannot be had (decompress.h);
//  - output_status from each step of the pending output (output_file.h).
// errno is read only inside the platform files. No unit throws: the one
// exception, std::bad_alloc from a path's string, is caught here alone.
#include <lzo/lzo1x.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "decompress.h"
#include "demo_format.h"
#include "folder.h"
#include "input_file.h"
#include "output_file.h"
#include "process.h"

#ifndef UNLZON_VERSION
#define UNLZON_VERSION "unknown"
#endif

namespace {

using namespace unlzon;

// Exit statuses; -1 reaches a shell as 255.
constexpr int EXIT_WRITTEN = 0;
constexpr int EXIT_FAILED = -1;
constexpr int EXIT_DECOMPRESSION_FAILED = 1;
constexpr int EXIT_LZO_INIT_FAILED = 3;

constexpr char OUTPUT_SUFFIX[] = ".nds";

// Print one error line. Standard output is flushed first so that the lines
// keep the run's order when both streams go to one file or pipe.
__attribute__((format(printf, 1, 2))) void error(const char* format, ...) {
    (void)std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    (void)std::vfprintf(stderr, format, args);
    va_end(args);
}

void print_banner() {
    std::printf("unlzon %s - unpacks LZO-compressed game demos\n", UNLZON_VERSION);
    std::printf("Written by the unlzon developers.\n");
    std::printf("Unpacks PATH into PATH.nds; see %s.\n", UNLZON_DOCUMENTATION);
}

void print_library_lines() {
    std::printf("\nUses LZO real-time data compression library (v%s, %s).\n", lzo_version_string(),
                lzo_version_date());
    std::printf("LZO is Copyright (C) 1996-2017 Markus F.X.J. Oberhumer,\n");
    std::printf("distributed under the GNU General Public License, version 2 or later.\n\n");
}

// Report a failure to read the container; every such failure ends the run.
int report_demo_failure(demo_status status, const char* input_path, std::uint32_t in_size) {
    switch (status) {
        case demo_status::ok:
            break;
        case demo_status::not_a_demo:
            error("  ERROR: Not a valid compressed demo (%s)!\n", input_path);
            break;
        case demo_status::read_error:
            error("  ERROR: Could not read input file (%s)!\n", input_path);
            break;
        case demo_status::out_of_memory:
            error("  ERROR: Could not allocate %" PRIu32 " bytes for the payload buffer!\n",
                  in_size);
            break;
    }
    return EXIT_FAILED;
}

int report_no_memory_for_paths(const char* input_path) {
    error("  ERROR: Could not allocate %zu bytes for the output path!\n",
          std::strlen(input_path) + sizeof OUTPUT_SUFFIX);
    return EXIT_FAILED;
}

// What the run holds, step by step.
struct demo_run {
    const char* input_path = nullptr;
    std::string input_name;             // the demo's name within its folder
    std::optional<demo_folder> folder;  // where the demo is read and its image lands
    demo_header header{};
    std::optional<byte_buffer> payload;
    file_origin origin;
};

// The run's strings (the demo's name, the output's path and name, a temporary
// name beside it) come from the heap, and std::string reports a failure by an
// exception. With no heap to be had at all (a tight ulimit -d), that exception
// finds no memory either and the process aborts; so the heap is asked once,
// up front, for room for all of them. Freed, the block stays in the heap for
// them; a failure later still meets the handler in unpack().
bool heap_has_room_for_paths(const char* input_path) {
    constexpr std::size_t TEMPORARY_NAME = 64;
    void* const room =
        std::malloc(3 * (std::strlen(input_path) + sizeof OUTPUT_SUFFIX) + TEMPORARY_NAME);
    std::free(room);
    return room != nullptr;
}

// Open the demo, check its header, report its sizes and read its payload; the
// demo is closed again before this returns. A status to end with, or nullopt.
std::optional<int> read_demo(demo_run& run) {
    if (!heap_has_room_for_paths(run.input_path)) {
        return report_no_memory_for_paths(run.input_path);
    }
    // The folder is resolved once, here: the input is read from it and the
    // image lands in it, whatever happens to the path's folders meanwhile.
    run.folder = demo_folder::open_parent(run.input_path, run.input_name);
    std::optional<input_file> input;
    if (run.folder) {
        input = input_file::open(*run.folder, run.input_name);
    }
    if (!input) {
        error("  ERROR: Could not open input file (%s)!\n", run.input_path);
        return EXIT_FAILED;
    }
    const header_result header = read_demo_header(*input);
    if (header.status != demo_status::ok) {
        return report_demo_failure(header.status, run.input_path, 0);
    }
    run.header = header.header;
    std::printf("In size: %" PRIx32 "\n", run.header.in_size);
    std::printf("Out size: %" PRIx32 "\n", run.header.out_size);

    payload_result payload = read_demo_payload(*input, run.header);
    if (payload.status != demo_status::ok) {
        return report_demo_failure(payload.status, run.input_path, run.header.in_size);
    }
    run.payload = std::move(payload.payload);
    run.origin = input->origin();
    return std::nullopt;  // everything needed from the input is in memory now
}

// Decode the payload and report the outcome; the payload is released once
// the summary line is out. A status to end with, or nullopt with the image.
std::optional<int> decode_demo(demo_run& run, decompress_result& decoded) {
    const std::uint32_t in_size = run.header.in_size;
    const std::uint32_t out_size = run.header.out_size;
    decoded = decompress_demo_payload(run.payload->data(), in_size, out_size);
    if (!decoded.image) {
        error("  ERROR: Could not allocate %" PRIu32 " bytes for the image buffer!\n", out_size);
        return EXIT_FAILED;
    }
    std::printf("Actual size: %" PRIx32 "\n", decoded.actual_size);
    if (!demo_image_accepted(decoded, out_size)) {
        error("internal error - decompression failed: %d\n", decoded.code);
        return EXIT_DECOMPRESSION_FAILED;
    }
    // The second number is the declared size, which is what gets written.
    std::printf("Decompressed %lu bytes back into %lu bytes\n", static_cast<unsigned long>(in_size),
                static_cast<unsigned long>(out_size));
    run.payload.reset();
    return std::nullopt;
}

// Write the image into a new pending output, make the file its declared size
// and give it the output name.
int write_image(demo_run& run, decompress_result& decoded) {
    const std::string output_path = std::string(run.input_path) + OUTPUT_SUFFIX;
    std::optional<pending_output> output =
        pending_output::create(*run.folder, run.input_name + OUTPUT_SUFFIX, run.origin);
    if (!output) {
        error("  ERROR: Could not open output file (%s)!\n", output_path.c_str());
        return EXIT_FAILED;
    }
    // The zero tail past what the stream produced is never written: the file
    // is extended over it, a hole where the file system has holes.
    output_status committed = output->write(decoded.image->data(), decoded.actual_size);
    if (committed == output_status::ok) {
        committed = output->extend_to(run.header.out_size);
    }
    if (committed == output_status::ok) {
        committed = output->commit();
    }
    // Discarded before the error line: on a full disk the pending file holds
    // the space that the line itself may need (`unlzon x.bin >log 2>&1`).
    output.reset();
    decoded.image.reset();
    if (committed != output_status::ok) {
        error(committed == output_status::cannot_create
                  ? "  ERROR: Could not open output file (%s)!\n"
                  : "  ERROR: Could not write output file (%s)!\n",
              output_path.c_str());
        return EXIT_FAILED;
    }
    std::printf("Decompressed data written to %s\n", output_path.c_str());
    // The image stays: it is complete and named, as cp and gzip leave theirs.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        error("  ERROR: Could not write to standard output!\n");
        return EXIT_FAILED;
    }
    return EXIT_WRITTEN;
}

// The run from the demo on. A string of the heap that cannot be had ends it
// with the output path's line, after the pending output is discarded.
int unpack(const char* input_path) {
    try {
        demo_run demo;
        demo.input_path = input_path;
        if (const std::optional<int> ended = read_demo(demo)) {
            return *ended;
        }
        decompress_result decoded;
        if (const std::optional<int> ended = decode_demo(demo, decoded)) {
            return *ended;
        }
        return write_image(demo, decoded);
    } catch (const std::bad_alloc&) {
        return report_no_memory_for_paths(input_path);
    }
}

int run(int argc, char** argv) {
    print_banner();
    if (argc != 2) {
        error("  Usage: %s <in>\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "unlzon");
        return EXIT_FAILED;
    }
    print_library_lines();
    if (lzo_init() != LZO_E_OK) {
        error("internal error - lzo_init() failed !!!\n");
        return EXIT_LZO_INIT_FAILED;
    }
    return unpack(argv[1]);
}

}  // namespace

int main(int argc, char** argv) {
    switch (prepare_process()) {
        case process_status::ready:
            return run(argc, argv);
        case process_status::no_standard_output:
            // The run would write its progress text into a file of its own.
            error("  ERROR: Could not write to standard output!\n");
            return EXIT_FAILED;
        case process_status::no_standard_error:
            break;
    }
    return EXIT_FAILED;  // no stream is left to say why
}
