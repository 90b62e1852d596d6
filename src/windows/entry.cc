// SPDX-License-Identifier: GPL-2.0-or-later
// The program's entry on Windows: the command line arrives as UTF-16 and is
// handed to the driver in UTF-8, the encoding every unit takes paths in, so
// that any file name survives and is printed back as given. main.cc is
// compiled with its main renamed to unlzon_main for this (see CMakeLists.txt).
// A run alone in its console window (a demo dropped onto unlzon.exe in
// Explorer) waits for a key at the end, so that the window stays readable.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "windows/console.h"

int unlzon_main(int argc, char** argv);

namespace {

// `text` in UTF-8; an unpaired surrogate becomes U+FFFD.
std::string narrow(const wchar_t* text) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(needed), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), needed, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(needed) - 1);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    std::vector<char*> argv;
    try {
        for (int i = 0; i < argc; ++i) {
            args.push_back(narrow(wargv[i]));
        }
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
    } catch (...) {
        return -1;  // no memory for the arguments: nothing can be reported
    }
    const int status = unlzon_main(argc, argv.data());
    // Every line is out before the window may wait for its reader.
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    unlzon::windows::hold_window_if_alone();
    return status;
}
