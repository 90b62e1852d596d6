// SPDX-License-Identifier: GPL-2.0-or-later
// The process in a browser or under node. emscripten always opens the three
// standard streams (node itself puts /dev/null under a closed one), and no
// signal reaches the program, so nothing of posix/process.cc is needed but
// one thing it never had to do: emscripten starts every program with a umask
// of 0777, under which each image would get no permission at all (and, in
// the in-memory file system, could not even be extended to its size).
#include <emscripten.h>
#include <sys/stat.h>

#include "process.h"

// The umask of node's process, which it has from its shell; in a browser,
// where files have no other users, the usual 022. (JavaScript, with C linkage.)
EM_JS(int, system_umask, (), {
    return typeof process == "object" && typeof process.umask == "function" ? process.umask()
                                                                            : 0o022;
});

namespace unlzon {

process_status prepare_process() {
    (void)umask(static_cast<mode_t>(system_umask()) & 0777);
    return process_status::ready;
}

}  // namespace unlzon
