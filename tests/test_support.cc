// SPDX-License-Identifier: GPL-2.0-or-later
#include "test_support.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace unlzon::test {

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
}

std::optional<bytes> read_bytes(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> folder_entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder))) {
        names.push_back(entry.path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string banner() {
    return "unlzon " UNLZON_VERSION
           " - unpacks LZO-compressed game demos\n"
           "Written by the unlzon developers.\n"
           "Unpacks PATH into PATH.nds; see " UNLZON_DOCUMENTATION ".\n";
}

std::string banner_and_library() {
    return banner() + "\nUses LZO real-time data compression library (v" + lzo_version_string() +
           ", " + lzo_version_date() +
           ").\n"
           "LZO is Copyright (C) 1996-2017 Markus F.X.J. Oberhumer,\n"
           "distributed under the GNU General Public License, version 2 or later.\n\n";
}

bytes zero_stream(std::uint32_t size) {
    bytes stream = {17 + 4, 0, 0, 0, 0};
    const std::uint32_t rest = size - 4;  // = 33 + 255 * extensions + last
    const std::uint32_t extensions = (rest - 34) / 255;
    stream.push_back(0x20);
    stream.insert(stream.end(), extensions, 0x00);
    stream.push_back(static_cast<unsigned char>(rest - 33 - 255 * extensions));
    stream.insert(stream.end(), {0x00, 0x00, 0x11, 0x00, 0x00});
    return stream;
}

bytes sample_image(std::size_t size, std::uint64_t seed) {
    return kit::make_demo_image(size, seed);
}

}  // namespace unlzon::test
