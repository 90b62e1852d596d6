// SPDX-License-Identifier: GPL-2.0-or-later
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

// Put the null device under the standard descriptor `fd` of `stream`. A
// process started without a standard handle has the descriptor closed, and
// its stream may have no descriptor at all (-2), which freopen refuses on
// some runtimes (Wine's msvcrt).
bool reopen_on_null(std::FILE* stream, int fd, int flags) {
    const int null_fd = _open("NUL", flags | _O_BINARY);
    if (null_fd < 0) {
        return false;
    }
    const bool moved = null_fd == fd || _dup2(null_fd, fd) == 0;
    if (null_fd != fd) {
        (void)_close(null_fd);
    }
    if (moved && _fileno(stream) != fd &&
        std::freopen("NUL", flags == _O_RDONLY ? "rb" : "wb", stream) == nullptr) {
#ifndef _UCRT
        // msvcrt's FILE is an open structure: give the stream its descriptor.
        stream->_file = fd;
        std::clearerr(stream);
#endif
    }
    return moved;
}

}  // namespace

process_status prepare_process() {
    // A process started without some standard handle has no stream there;
    // the null device keeps writes to it succeeding, as /dev/null on POSIX.
    struct stream_t {
        std::FILE* stream;
        int fd;
        int flags;
    };
    for (const stream_t& s : {stream_t{stdin, 0, _O_RDONLY}, stream_t{stdout, 1, _O_WRONLY},
                              stream_t{stderr, 2, _O_WRONLY}}) {
        // Nothing reads standard input: the run goes on without it.
        if (_get_osfhandle(s.fd) < 0 && !reopen_on_null(s.stream, s.fd, s.flags) && s.fd != 0) {
            return s.fd == 1 ? process_status::no_standard_output
                             : process_status::no_standard_error;
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
    return process_status::ready;
}

}  // namespace unlzon
