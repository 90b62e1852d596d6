#include "process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "windows/interrupts.h"

namespace unlzon {

namespace {

UINT original_output_code_page = 0;

// The console window outlives the run: give it back its own code page.
void restore_output_code_page() {
    (void)SetConsoleOutputCP(original_output_code_page);
}

bool stream_is_open(std::FILE* stream) {
    const int fd = _fileno(stream);
    return fd >= 0 && _get_osfhandle(fd) >= 0;
}

}  // namespace

bool prepare_process() {
    // A process started without some standard handle has no stream there;
    // the null device keeps writes to it succeeding, as /dev/null on POSIX.
    struct stream_t {
        std::FILE* stream;
        const char* mode;
    };
    for (const stream_t& s : {stream_t{stdin, "rb"}, stream_t{stdout, "wb"}, stream_t{stderr, "wb"}}) {
        if (!stream_is_open(s.stream) && std::freopen("NUL", s.mode, s.stream) == nullptr) {
            return false;
        }
    }
    // Text mode would turn every "\n" into "\r\n": the lines stay byte for
    // byte what they are on POSIX, and consoles show them the same.
    (void)_setmode(_fileno(stdout), _O_BINARY);
    (void)_setmode(_fileno(stderr), _O_BINARY);
    // Paths are printed in UTF-8, as the driver received them.
    original_output_code_page = GetConsoleOutputCP();
    if (original_output_code_page != 0 && original_output_code_page != CP_UTF8 &&
        SetConsoleOutputCP(CP_UTF8)) {
        (void)std::atexit(restore_output_code_page);
    }
    windows::install_control_handler();
    return true;
}

}  // namespace unlzon
