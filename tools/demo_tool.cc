// SPDX-License-Identifier: GPL-2.0-or-later
// demo_tool: makes the project's test material.
//
//   demo_tool image SIZE SEED OUT     write a synthetic demo image (SIZE may end in K or M)
//   demo_tool pack [--best] IN OUT    pack an image into a container (LZO1X-1, or LZO1X-999)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>

#include "demo_kit.h"

namespace {

using unlzon::kit::bytes;

int usage() {
    std::fprintf(stderr,
                 "usage: demo_tool image SIZE SEED OUT\n"
                 "       demo_tool pack [--best] IN OUT\n");
    return 2;
}

std::size_t parse_size(const std::string& text) {
    std::size_t end = 0;
    const unsigned long long number = std::stoull(text, &end, 10);
    const std::string suffix = text.substr(end);
    int shift = 0;
    if (suffix == "K") {
        shift = 10;
    } else if (suffix == "M") {
        shift = 20;
    } else if (!suffix.empty()) {
        throw std::invalid_argument("bad size: " + text);
    }
    // The image is made in memory: a size this host cannot address (beyond
    // 4 GiB on a 32-bit one) is refused rather than cut to fit.
    if (number > (std::numeric_limits<std::size_t>::max() >> shift)) {
        throw std::out_of_range("size too large for this host: " + text);
    }
    return static_cast<std::size_t>(number) << shift;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 5 && std::strcmp(argv[1], "image") == 0) {
            unlzon::kit::write_file(argv[4],
                                    unlzon::kit::make_demo_image(parse_size(argv[2]),
                                                                 std::stoull(argv[3], nullptr, 0)));
            return 0;
        }
        if (argc >= 4 && argc <= 5 && std::strcmp(argv[1], "pack") == 0) {
            const bool best = argc == 5 && std::strcmp(argv[2], "--best") == 0;
            if (argc == 5 && !best) {
                return usage();
            }
            const auto method =
                best ? unlzon::kit::compressor::lzo1x_999 : unlzon::kit::compressor::lzo1x_1;
            unlzon::kit::write_file(
                argv[argc - 1],
                unlzon::kit::pack_demo(unlzon::kit::read_file(argv[argc - 2]), method));
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo_tool: %s\n", e.what());
        return 1;
    }
    return usage();
}
