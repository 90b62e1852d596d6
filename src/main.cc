// SPDX-License-Identifier: GPL-2.0-or-later
// unlzon: unpack a compressed game demo into PATH.nds.
//
// The driver sequences the run and owns every message and exit status; the
// units it calls only return results.
#include <lzo/lzo1x.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "decompress.h"
#include "demo_format.h"
#include "folder.h"
#include "image_window.h"
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
    std::printf("Unpacks PATH into PATH.nds; see unlzon(1).\n");
}

void print_library_lines() {
    std::printf("\nUses LZO real-time data compression library (v%s, %s).\n", lzo_version_string(),
                lzo_version_date());
    std::printf("LZO is Copyright (C) 1996-2017 Markus F.X.J. Oberhumer,\n");
    std::printf("distributed under the GNU General Public License, version 2 or later.\n\n");
}

// `input_path` + ".nds"; nullopt if the string cannot be allocated.
std::optional<std::string> make_output_path(const char* input_path) {
    try {
        std::string path(input_path);
        path += OUTPUT_SUFFIX;
        return path;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
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

int run(int argc, char** argv) {
    print_banner();
    if (argc != 2) {
        error("  Usage: %s <in>\n\n", argc > 0 && argv[0] != nullptr ? argv[0] : "unlzon");
        return EXIT_FAILED;
    }
    const char* const input_path = argv[1];

    print_library_lines();
    if (lzo_init() != LZO_E_OK) {
        error("internal error - lzo_init() failed !!!\n");
        return EXIT_LZO_INIT_FAILED;
    }

    // The folder is resolved once, here: the input is read from it and the
    // image lands in it, whatever happens to the path's folders meanwhile.
    std::string input_name;
    const std::optional<demo_folder> folder = demo_folder::open_parent(input_path, input_name);
    std::optional<input_file> input;
    if (folder) {
        input = input_file::open(*folder, input_name);
    }
    if (!input) {
        error("  ERROR: Could not open input file (%s)!\n", input_path);
        return EXIT_FAILED;
    }
    const header_result header = read_demo_header(*input);
    if (header.status != demo_status::ok) {
        return report_demo_failure(header.status, input_path, 0);
    }
    const std::uint32_t in_size = header.header.in_size;
    const std::uint32_t out_size = header.header.out_size;
    std::printf("In size: %" PRIx32 "\n", in_size);
    std::printf("Out size: %" PRIx32 "\n", out_size);

    payload_result payload = read_demo_payload(*input, header.header);
    if (payload.status != demo_status::ok) {
        return report_demo_failure(payload.status, input_path, in_size);
    }
    const file_origin origin = input->origin();
    input.reset();  // everything needed from the input is in memory now

    // The pending output exists before the decoding, which writes the image
    // into it as it goes; a failure to create it is reported where it always
    // was, after the summary line, and meanwhile the decoding writes nowhere.
    const std::optional<std::string> output_path = make_output_path(input_path);
    const std::optional<std::string> output_name = make_output_path(input_name.c_str());
    std::optional<pending_output> output =
        output_path && output_name ? pending_output::create(*folder, *output_name, origin)
                                   : std::optional<pending_output>();
    std::optional<image_window> image =
        image_window::create(out_size, output ? output->handle() : image_window::NO_SINK);
    if (!image) {
        output.reset();
        error("  ERROR: Could not allocate %" PRIu32 " bytes for the image buffer!\n", out_size);
        return EXIT_FAILED;
    }
    decode_result decoded{};
    const auto decode = [&] { decoded = image->decode(payload.payload->data(), in_size); };
    // A large payload is a view of the file: one cut short meanwhile by
    // another process is as truncated as one that was short from the start.
    if (!run_guarding_file_memory(decode)) {
        output.reset();
        error("  ERROR: Not a valid compressed demo (%s)!\n", input_path);
        return EXIT_FAILED;
    }
    std::printf("Actual size: %" PRIx32 "\n", decoded.actual_size);
    if (!demo_image_accepted(decoded, out_size)) {
        // Discarded first, here and below: on a full disk the pending file
        // holds the space that the error line itself may need
        // (`unlzon x.bin >log 2>&1`).
        output.reset();
        error("internal error - decompression failed: %d\n", decoded.code);
        return EXIT_DECOMPRESSION_FAILED;
    }
    // The second number is the declared size, which is what gets written.
    std::printf("Decompressed %lu bytes back into %lu bytes\n", static_cast<unsigned long>(in_size),
                static_cast<unsigned long>(out_size));
    payload.payload.reset();

    if (!output_path || !output_name) {
        error("  ERROR: Could not allocate %zu bytes for the output path!\n",
              std::strlen(input_path) + sizeof OUTPUT_SUFFIX);
        return EXIT_FAILED;
    }
    if (!output) {
        error("  ERROR: Could not open output file (%s)!\n", output_path->c_str());
        return EXIT_FAILED;
    }
    // The zero tail past the actual size is a hole, not written bytes.
    const bool complete = image->finish(decoded.actual_size) == 0 && output->extend_to(out_size);
    image.reset();
    const output_status written = complete ? output->commit() : output_status::cannot_write;
    if (written != output_status::ok) {
        output.reset();
        error(written == output_status::cannot_create
                  ? "  ERROR: Could not open output file (%s)!\n"
                  : "  ERROR: Could not write output file (%s)!\n",
              output_path->c_str());
        return EXIT_FAILED;
    }
    output.reset();
    std::printf("Decompressed data written to %s\n", output_path->c_str());
    // The image stays: it is complete and named, as cp and gzip leave theirs.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        error("  ERROR: Could not write to standard output!\n");
        return EXIT_FAILED;
    }
    return EXIT_WRITTEN;
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
