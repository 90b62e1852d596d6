// SPDX-License-Identifier: GPL-2.0-or-later
// demo_tool: makes the project's test material.
//
//   demo_tool image SIZE SEED OUT     write a synthetic demo image (SIZE may end in K or M)
//   demo_tool pack [--best] IN OUT    pack an image into a container (LZO1X-1, or LZO1X-999)
//   demo_tool nds-image SIZE SEED OUT [OPTION...]
//                                     an image as `image` makes it, with a header and banner:
//     --title T, --code C, --maker M  the header's title, game code and maker code (ASCII)
//     --banner-at OFFSET, --no-banner where the banner goes (default 0x1000), or none
//     --banner-version N              (default 1)
//     --banner-title LANG=TEXT        a title in ja, en, fr, de, it, es, zh or ko, in UTF-8;
//                                     its lines (title, subtitle, publisher) split by LF
//     --icon FILE                     1024 bytes: each pixel's palette index, row by row
//     --palette C0,C1,...             up to 16 colours, 15-bit BGR in hex (bit 15 kept as given)
//     --bad-header-checksum, --bad-banner-checksum
#include <algorithm>
#include <cstdint>
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
                 "       demo_tool pack [--best] IN OUT\n"
                 "       demo_tool nds-image SIZE SEED OUT [--title T] [--code C] [--maker M]\n"
                 "           [--banner-at OFFSET | --no-banner] [--banner-version N]\n"
                 "           [--banner-title LANG=TEXT]... [--icon FILE] [--palette C0,C1,...]\n"
                 "           [--bad-header-checksum] [--bad-banner-checksum]\n");
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

// A number in C's notation (0x for hex) of at most `max`.
unsigned long parse_number(const std::string& text, unsigned long max) {
    std::size_t end = 0;
    const unsigned long number = std::stoul(text, &end, 0);
    if (end != text.size() || number > max || text[0] == '-') {
        throw std::invalid_argument("bad number: " + text);
    }
    return number;
}

// `text` as UTF-16; throws std::invalid_argument where it is not UTF-8.
std::u16string utf16_from_utf8(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        char32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned next =
                i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
            if ((next & 0xC0) != 0x80) {
                throw std::invalid_argument("not UTF-8: " + text);
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        static constexpr char32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || point < SHORTEST[length] ||
            point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
            throw std::invalid_argument("not UTF-8: " + text);
        }
        if (point >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(point));
        }
        i += length;
    }
    return out;
}

// The options of `nds-image` after OUT; throws std::invalid_argument for one it does not know.
unlzon::kit::nds_identity parse_identity(int argc, char** argv) {
    static constexpr const char* LANGUAGES[] = {"ja", "en", "fr", "de", "it", "es", "zh", "ko"};
    unlzon::kit::nds_identity identity;
    for (int i = 0; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--bad-header-checksum") {
            identity.header_checksum_ok = false;
            continue;
        }
        if (option == "--bad-banner-checksum") {
            identity.banner_checksum_ok = false;
            continue;
        }
        if (option == "--no-banner") {
            identity.banner_offset = 0;
            continue;
        }
        static constexpr const char* VALUED[] = {
            "--title",          "--code",         "--maker", "--banner-at",
            "--banner-version", "--banner-title", "--icon",  "--palette"};
        if (std::find(std::begin(VALUED), std::end(VALUED), option) == std::end(VALUED)) {
            throw std::invalid_argument("unknown option " + option);
        }
        if (i + 1 == argc) {
            throw std::invalid_argument("no value after " + option);
        }
        const std::string value = argv[++i];
        if (option == "--title") {
            identity.title = value;
        } else if (option == "--code") {
            identity.code = value;
        } else if (option == "--maker") {
            identity.maker = value;
        } else if (option == "--banner-at") {
            identity.banner_offset = static_cast<std::uint32_t>(parse_number(value, 0xFFFFFFFF));
        } else if (option == "--banner-version") {
            identity.banner_version = static_cast<std::uint16_t>(parse_number(value, 0xFFFF));
        } else if (option == "--banner-title") {
            const std::string language = value.substr(0, value.find('='));
            const auto* found = std::find(std::begin(LANGUAGES), std::end(LANGUAGES), language);
            if (found == std::end(LANGUAGES) || language.size() == value.size()) {
                throw std::invalid_argument("bad banner title: " + value);
            }
            identity.titles[static_cast<std::size_t>(found - std::begin(LANGUAGES))] =
                utf16_from_utf8(value.substr(language.size() + 1));
        } else if (option == "--icon") {
            const bytes icon = unlzon::kit::read_file(value);
            if (icon.size() != identity.icon.size()) {
                throw std::invalid_argument("icon not of 1024 bytes: " + value);
            }
            std::copy(icon.begin(), icon.end(), identity.icon.begin());
        } else {  // --palette
            std::size_t at = 0;
            for (std::size_t n = 0; at <= value.size(); ++n) {
                const std::size_t comma = std::min(value.find(',', at), value.size());
                if (n == identity.palette.size()) {
                    throw std::invalid_argument("more than 16 colours: " + value);
                }
                identity.palette[n] = static_cast<std::uint16_t>(
                    parse_number("0x" + value.substr(at, comma - at), 0xFFFF));
                at = comma + 1;
            }
        }
    }
    return identity;
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
        if (argc >= 5 && std::strcmp(argv[1], "nds-image") == 0) {
            const auto identity = parse_identity(argc - 5, argv + 5);
            unlzon::kit::write_file(
                argv[4], unlzon::kit::make_nds_image(parse_size(argv[2]),
                                                     std::stoull(argv[3], nullptr, 0), identity));
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
