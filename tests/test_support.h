// SPDX-License-Identifier: GPL-2.0-or-later
// Shared helpers for the tests: scratch folders, whole-file I/O and running
// the built program as a user would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "demo_kit.h"

// Under AddressSanitizer, whose runtime keeps its own fault handlers, needs
// descriptors of its own before main(), and whose shadow memory makes
// address-space limits and resident-set figures meaningless.
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

// Skips the test in a build without the Linux extras (-DUNLZON_LINUX_EXTRAS=OFF),
// naming the extra it needs (a file in src/linux/) and what it would show.
#define SKIP_WITHOUT_LINUX_EXTRA(extra, shows)                                            \
    do {                                                                                  \
        if (!UNLZON_LINUX_EXTRAS) {                                                       \
            GTEST_SKIP() << "needs the Linux extra " extra ", off in this build: " shows; \
        }                                                                                 \
    } while (false)

namespace unlzon::test {

using kit::bytes;

/// A fresh folder, removed with everything in it when the object goes.
class temp_dir {
  public:
    temp_dir();
    /// A fresh folder in `base` (POSIX only).
    explicit temp_dir(const std::string& base);
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

using kit::write_file;
/// The file's bytes, or nullopt if it does not exist.
std::optional<bytes> read_bytes(const std::string& path);

/// Where the child's standard output goes.
enum class stdout_target {
    captured,     // a pipe read into run_result::out
    full_device,  // /dev/full: every write fails with ENOSPC
    closed_pipe,  // a pipe whose reading end is already closed
    closed,       // descriptor 1 not open at all
};

struct run_options {
    bool merge_streams = false;  // standard error into the same pipe as standard output
    stdout_target out = stdout_target::captured;
    bool as_nobody = false;             // run as user and group nobody (needs root)
    std::uint64_t file_size_limit = 0;  // RLIMIT_FSIZE for the child, 0 for none
    std::uint64_t memory_limit = 0;     // RLIMIT_AS for the child, 0 for none
    double kill_after_seconds = 0;      // SIGKILL the child if it runs longer; 0: wait
    std::vector<int> ignored_signals;   // more signals ignored at start (POSIX)
    std::vector<int> blocked_signals;   // signals blocked at start, as a parent may pass them
    std::uint64_t data_limit = 0;       // RLIMIT_DATA for the child (ulimit -d), 0 for none
    std::string working_dir;            // empty: this process's
    // POSIX only; the mount namespaces need root (see can_hide_mounts()).
    bool stdin_closed = false;           // descriptor 0 not open at all
    bool stderr_closed = false;          // descriptor 2 not open at all
    bool hide_proc = false;              // an empty /proc: the pending file gets a name
    bool empty_dev = false;              // an empty /dev: no /dev/null to reopen a stream on
    std::uint64_t open_files_limit = 0;  // RLIMIT_NOFILE for the child, 0 for none
};

struct run_result {
    int status = -1;  // exit status 0..255, or -1 if killed by a signal
    int signal = 0;   // the signal that killed it, or 0
    std::string out;  // standard output (with standard error, if merged)
    std::string err;
    long peak_memory_kib = 0;  // the child's largest resident set (POSIX; 0 where unknown)
};

/// Run `argv` (argv[0] is the program) to the end and collect what it printed.
run_result run_program(const std::vector<std::string>& argv, const run_options& options = {});

/// Run the built unlzon with `args` after its own name.
run_result run_unlzon(const std::vector<std::string>& args, const run_options& options = {});

/// Start the built unlzon with `args`, its output streams discarded; returns
/// its process id for finish_program().
int start_unlzon(const std::vector<std::string>& args, const run_options& options = {});

/// Wait for a started program; only status and signal are filled in.
run_result finish_program(int pid);

/// End a started program at once, as SIGKILL or TerminateProcess do; then
/// finish_program() collects it.
void kill_program(int pid);

/// Wait until the started program `pid` holds a file open in `folder` other
/// than `except` (its input): the pending output. False if that did not
/// happen within `seconds`.
bool wait_for_open_file_in(int pid, const std::string& folder, const std::string& except,
                           double seconds = 30);

/// The names in `folder`, sorted, without "." and "..".
std::vector<std::string> folder_entries(const std::string& folder);

/// True when this process may mount file systems and change users.
bool running_as_root();

/// True when a child given a memory_limit is really held to it. qemu-user
/// accepts the limit and ignores it, to keep its own allocations working.
bool memory_limit_enforced();

/// True when a child can have a mount namespace of its own with an empty
/// /proc or /dev (run_options::hide_proc, empty_dev). POSIX only.
bool can_hide_mounts();

/// True when `signal_number`, sent by another process to a process stopped
/// while it writes (or raised by the process itself), reaches a handler
/// installed for it once the process continues. An emulator such as
/// qemu-user keeps some real-time signals for itself and takes crash signals
/// sent from outside for faults of its own. POSIX only.
bool signal_reaches_handler(int signal_number, bool from_outside);

/// The built unlzon, copied into a folder under /tmp that every user can
/// reach, for runs as another user (the build folder may be private). POSIX
/// only; removed when the tests end.
const std::string& unlzon_for_other_users();

/// What unlzon prints on standard output before it looks at its arguments.
std::string banner();
/// The banner followed by the lines about the LZO library.
std::string banner_and_library();

/// An LZO1X stream of `size` zero bytes (size >= 38), made by hand because
/// compressing so many zeros would dominate a test's time and memory: four
/// literals, one match at distance 1 over all the rest, the end marker.
bytes zero_stream(std::uint32_t size);

/// A small synthetic image of `size` bytes.
bytes sample_image(std::size_t size, std::uint64_t seed = 1);

}  // namespace unlzon::test
