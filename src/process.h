// SPDX-License-Identifier: GPL-2.0-or-later
// What the run needs of its process before it starts.
#pragma once

namespace unlzon {

enum class process_status {
    ready,
    no_standard_output,  // descriptor 1 was closed and nothing could take it
    no_standard_error,   // descriptor 2 was closed and nothing could take it
};

/// Make the process safe to run the tool in: a closed standard stream is
/// reopened on the null device (or, with none, on a pipe that reads nothing
/// or drops what is written), so that no file of the run takes its number and
/// receives progress text; a closed pipe or a file-size limit makes a write
/// fail instead of killing the process. (Once a named pending output exists,
/// the fatal signals discard it before the process dies of them, except
/// those that were ignored at start: see posix/signals.h.) A closed
/// standard input that nothing can take is left closed: nothing reads it.
process_status prepare_process();

}  // namespace unlzon
