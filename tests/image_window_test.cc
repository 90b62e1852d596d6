// SPDX-License-Identifier: GPL-2.0-or-later
// The image window: streams whose literal runs and matches cross its chunk
// borders come out exactly as the whole-image way writes them, a write error
// stops the writing but not the decoding, the fault handler is the window's
// only while the decoder runs, and a demo of a few bytes that declares a huge
// image costs neither memory nor disk. Sizes are counted in the window's
// chunks.
#include "image_window.h"

#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decompress.h"
#include "output_file.h"
#include "process.h"
#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr auto CHUNK = static_cast<std::uint32_t>(image_window::CHUNK);
// An image of enough chunks that the window writes while the decoder runs.
constexpr std::uint32_t SEVERAL_CHUNKS = 3 * CHUNK + CHUNK / 2;
constexpr int FAILED = 255;

bytes noise(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    bytes data(size);
    for (unsigned char& byte : data) {
        byte = static_cast<unsigned char>(generator() >> 24);
    }
    return data;
}

// A pending output at `path`, for a demo of mode 0644, with the folder it
// needs for as long as it lives.
struct pending_at {
    explicit pending_at(const std::string& path, bool named = false)
        : folder(demo_folder::open_parent(path.c_str(), name)), output(start(named)) {}

    std::optional<pending_output> start(bool named) const {
        file_origin origin;
        origin.permissions = 0644;
#ifndef _WIN32
        origin.group = static_cast<std::int64_t>(getgid());
#endif
        if (!folder) {
            return std::nullopt;
        }
        return named ? test_access::create_named(*folder, name, origin)
                     : pending_output::create(*folder, name, origin);
    }

    std::string name;
    std::optional<demo_folder> folder;
    std::optional<pending_output> output;
};

TEST(ImageWindowTest, StreamsAcrossChunkBordersMatchTheWholeImageWay) {
    const bytes random = noise(CHUNK + CHUNK / 2 + 777, 3);
    const bytes demo = kit::make_demo_image(SEVERAL_CHUNKS + 13, 9);
    const bytes demo_999 = kit::make_demo_image(CHUNK + 5 * 1024, 4);
    const bytes short_image = kit::make_demo_image(CHUNK / 2 + CHUNK / 4, 2);
    const bytes exact = kit::make_demo_image(2 * CHUNK, 6);
    bytes zeros_stream = test::zero_stream(SEVERAL_CHUNKS + 3);
    // A literal run that starts three bytes before the second chunk border:
    // the decoder copies it with word stores, one of which straddles the
    // border.
    bytes straddling(SEVERAL_CHUNKS);
    for (std::size_t i = 0; i < 16; ++i) {
        straddling[2 * CHUNK - 3 + i] = static_cast<unsigned char>(0x5A ^ (i * 37));
    }
    bytes cut = kit::compress_lzo1x(demo, kit::compressor::lzo1x_1);
    cut.resize(cut.size() - 1000);

    struct case_t {
        const char* name;
        bytes stream;
        std::uint32_t out_size;
        bytes image;  // what the file holds: the decoded bytes, zeros to out_size
        int code;
    };
    const case_t cases[] = {
        {"incompressible: literal runs over many borders",
         kit::compress_lzo1x(random, kit::compressor::lzo1x_1),
         static_cast<std::uint32_t>(random.size()), random, LZO_E_OK},
        {"zeros: one match over many borders", zeros_stream, SEVERAL_CHUNKS + 3,
         bytes(SEVERAL_CHUNKS + 3), LZO_E_OK},
        {"mixed image, fast compressor", kit::compress_lzo1x(demo, kit::compressor::lzo1x_1),
         SEVERAL_CHUNKS + 13, demo, LZO_E_OK},
        {"mixed image, thorough compressor: longer matches",
         kit::compress_lzo1x(demo_999, kit::compressor::lzo1x_999), CHUNK + 5 * 1024, demo_999,
         LZO_E_OK},
        {"store straddling a chunk border",
         kit::compress_lzo1x(straddling, kit::compressor::lzo1x_1), SEVERAL_CHUNKS, straddling,
         LZO_E_OK},
        {"image of a whole number of chunks", kit::compress_lzo1x(exact, kit::compressor::lzo1x_1),
         2 * CHUNK, exact, LZO_E_OK},
        {"declared size larger: the tail reads as zeros",
         kit::compress_lzo1x(short_image, kit::compressor::lzo1x_1), 2 * CHUNK + 1, short_image,
         LZO_E_OK},
        {"empty stream, empty image", kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1), 0,
         bytes(0), LZO_E_OK},
        {"empty stream, a chunk of zeros", kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1),
         CHUNK, bytes(0), LZO_E_OK},
        {"stream cut after several chunks", cut, SEVERAL_CHUNKS + 13, bytes(0),
         LZO_E_INPUT_OVERRUN},
    };
    test::temp_dir dir;
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const test::unpacked window = test::unpack(c.stream, c.out_size, dir / "window");
        const test::unpacked whole = test::unpack(c.stream, c.out_size, dir / "whole", true);
        EXPECT_EQ(window.decoded.code, c.code);
        EXPECT_EQ(whole.decoded.code, c.code);
        EXPECT_EQ(window.decoded.actual_size, whole.decoded.actual_size);
        EXPECT_EQ(window.decoded.what, decode_outcome::kind::decoded);
        EXPECT_FALSE(whole.windowed);
#if defined(__linux__) && UNLZON_LINUX_EXTRAS
        // Every Linux build, 32-bit ones too at these sizes, has the window:
        // two chunks of memory.
        EXPECT_TRUE(window.windowed);
        EXPECT_LE(window.resident, 2 * CHUNK);
#endif
        if (c.code != LZO_E_OK) {
            continue;  // the program writes nothing of a failed decoding
        }
        bytes want = c.image;
        want.resize(c.out_size, 0);
        EXPECT_EQ(window.decoded.actual_size, c.image.size());
        EXPECT_TRUE(window.file == want) << "the window's file differs";
        EXPECT_TRUE(whole.file == want) << "the whole image's file differs";
    }
}

#ifndef _WIN32

struct sigaction action_of(int signal_number) {
    struct sigaction current {};
    (void)sigaction(signal_number, nullptr, &current);
    return current;
}

bool same_action(const struct sigaction& a, const struct sigaction& b) {
    return (a.sa_flags & SA_SIGINFO) == (b.sa_flags & SA_SIGINFO) &&
           ((a.sa_flags & SA_SIGINFO) != 0 ? a.sa_sigaction == b.sa_sigaction
                                           : a.sa_handler == b.sa_handler);
}

// A process that reads the pipe `ends` slowly to its end into the file
// `path`: the fault handler's writes wait for it.
pid_t read_slowly(const int ends[2], const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        (void)close(ends[1]);
        const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        unsigned char buffer[64 * 1024];
        ssize_t got = 0;
        while (std::this_thread::sleep_for(std::chrono::milliseconds(2)),
               (got = read(ends[0], buffer, sizeof buffer)) > 0) {
            if (write(out, buffer, static_cast<std::size_t>(got)) != got) {
                _exit(1);
            }
        }
        _exit(got == 0 ? 0 : 1);
    }
    return pid;
}

// The sink gets the image in order or the first write error; either way the
// decoding runs to its end.
TEST(ImageWindowTest, WriteErrorStopsTheWritingButNotTheDecoding) {
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    const native_file full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(full.is_open());
    test::temp_dir dir;
    enum class sink_kind { full_device, slow_pipe, none };
    struct case_t {
        const char* name;
        sink_kind sink;
        int error;
    };
    for (const case_t& c : {
             case_t{"full device", sink_kind::full_device, ENOSPC},
             case_t{"pipe read slowly", sink_kind::slow_pipe, 0},
             case_t{"no sink", sink_kind::none, 0},
         }) {
        SCOPED_TRACE(c.name);
        const bytes image = noise(SEVERAL_CHUNKS + 9, 11);
        const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
        int ends[2] = {-1, -1};
        pid_t reader = -1;
        image_window::sink_type sink = image_window::NO_SINK;
        if (c.sink == sink_kind::full_device) {
            sink = full.get();
        } else if (c.sink == sink_kind::slow_pipe) {
            ASSERT_EQ(pipe(ends), 0);
            reader = read_slowly(ends, dir / "received");
            sink = ends[1];
        }
        std::optional<image_window> window =
            image_window::create(static_cast<std::uint32_t>(image.size()), sink);
        EXPECT_TRUE(window.has_value());
        if (window) {
            const decode_outcome decoded = window->decode(
                decode_demo_payload, stream.data(), static_cast<std::uint32_t>(stream.size()));
            EXPECT_EQ(decoded.code, LZO_E_OK);
            EXPECT_EQ(decoded.actual_size, image.size());
            EXPECT_EQ(window->finish(decoded).error, c.error);
        }
        if (reader > 0) {
            (void)close(ends[1]);  // the reader's end of file
            (void)close(ends[0]);
            EXPECT_EQ(test::finish_program(reader).status, 0);
            EXPECT_TRUE(test::read_bytes(dir / "received") == image) << "the sink got other bytes";
        }
    }
}

// The fault guard is in place only while the decoder runs, also when a
// payload view cut short under the decoder ends it early, and it works
// whatever mask the run was started with: the fault signals blocked by the
// parent are open during the decoding and blocked again afterwards.
TEST(ImageWindowTest, FaultGuardHoldsOnlyWhileTheDecoderRuns) {
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    const bytes image = kit::make_demo_image(SEVERAL_CHUNKS, 8);
    const bytes container = kit::pack_demo(image);
    SKIP_WITHOUT_LINUX_EXTRA("populated_view", "no payload view to cut short under the decoder");
    test::temp_dir dir;
    const std::string path = dir / "demo.bin";
    test::write_file(path, container);
    const native_file file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    bool unreadable = false;
    std::optional<byte_buffer> view =
        byte_buffer::map_file(file, 16, container.size() - 16, unreadable);
    ASSERT_TRUE(view.has_value());
    const auto in_size = static_cast<std::uint32_t>(view->size());

    struct case_t {
        const char* name;
        bool blocked;  // SIGSEGV and SIGBUS blocked before, as a parent may pass them
        bool cut;      // the file cut short under the view first
        decode_outcome::kind what;
    };
    constexpr auto decoded = decode_outcome::kind::decoded;
    constexpr auto cut_short = decode_outcome::kind::payload_unreadable;
    for (const case_t& c : {case_t{"whole view", false, false, decoded},
                            case_t{"blocked at start", true, false, decoded},
                            case_t{"view cut short", false, true, cut_short},
                            case_t{"cut short, blocked", true, true, cut_short}}) {
        SCOPED_TRACE(c.name);
        if (c.cut) {
            ASSERT_EQ(truncate(path.c_str(), 4096), 0);
        }
        sigset_t faults;
        sigset_t mask_before;
        (void)sigemptyset(&faults);
        (void)sigaddset(&faults, SIGSEGV);
        (void)sigaddset(&faults, SIGBUS);
        (void)sigprocmask(c.blocked ? SIG_BLOCK : SIG_UNBLOCK, &faults, &mask_before);
        const struct sigaction segv_before = action_of(SIGSEGV);
        const struct sigaction bus_before = action_of(SIGBUS);
        const decompress_result got =
            decompress_demo_payload(view->data(), in_size, SEVERAL_CHUNKS);
        EXPECT_EQ(test_access::windowed(got.image), UNLZON_LINUX_EXTRAS == 1);
        EXPECT_EQ(got.outcome.what, c.what);
        if (c.what == decoded) {
            EXPECT_EQ(got.outcome.code, LZO_E_OK);
            EXPECT_EQ(got.outcome.actual_size, SEVERAL_CHUNKS);
        }
        EXPECT_TRUE(same_action(action_of(SIGSEGV), segv_before));
        EXPECT_TRUE(same_action(action_of(SIGBUS), bus_before));
        sigset_t mask_after;
        (void)sigprocmask(SIG_SETMASK, &mask_before, &mask_after);
        EXPECT_EQ(sigismember(&mask_after, SIGSEGV), c.blocked ? 1 : 0);
        EXPECT_EQ(sigismember(&mask_after, SIGBUS), c.blocked ? 1 : 0);
    }
}

// A write that stalls in the fault handler (a slow network folder; here a
// pipe nobody reads) must still be ended by an interrupt, which removes the
// named pending file as always.
TEST(ImageWindowTest, InterruptEndsAWriteThatStallsInTheFaultHandler) {
    SKIP_WITHOUT_LINUX_EXTRA("page_moves", "nothing is written while the decoder runs");
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    test::temp_dir dir;
    const bytes stream = kit::compress_lzo1x(noise(SEVERAL_CHUNKS, 31), kit::compressor::lzo1x_1);
    for (const int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE("signal " + std::to_string(signal_number));
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            (void)close(ends[0]);
            if (prepare_process() != process_status::ready) {
                _exit(2);
            }
            const pending_at pending(dir / "out.nds", true);
            std::optional<image_window> window = image_window::create(SEVERAL_CHUNKS, ends[1]);
            if (!pending.output || !window) {
                _exit(2);
            }
            (void)window->decode(decode_demo_payload, stream.data(),
                                 static_cast<std::uint32_t>(stream.size()));
            _exit(3);
        }
        (void)close(ends[1]);
        // The first byte shows the writing under way; the pipe, never read
        // again, then holds it in write().
        pollfd ready{ends[0], POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 30000), 1);
        char first = 0;
        ASSERT_EQ(read(ends[0], &first, 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(kill(pid, signal_number), 0);
        int status = 0;
        pid_t ended = 0;
        for (int wait = 0; wait < 1000 && ended == 0; ++wait) {
            ended = waitpid(pid, &status, WNOHANG);
            if (ended == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (ended == 0) {
            (void)kill(pid, SIGKILL);
            (void)waitpid(pid, &status, 0);
            ADD_FAILURE() << "the interrupt did not end the stalled write within 10 s";
        }
        (void)close(ends[0]);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
        EXPECT_TRUE(test::folder_entries(dir.path()).empty());
    }
}

TEST(ImageWindowDeathTest, FaultThatIsNotTheWindowsEndsTheProcess) {
    ASSERT_EQ(lzo_init(), LZO_E_OK);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* const barred = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(barred, MAP_FAILED);
    // The decoder's first read of the payload faults outside the window.
    const auto decode_barred_payload = [&] {
        std::optional<image_window> window = image_window::create(2 * CHUNK, image_window::NO_SINK);
        (void)window->decode(decode_demo_payload, static_cast<const unsigned char*>(barred), 100);
    };
#if defined(UNDER_ADDRESS_SANITIZER)
    EXPECT_DEATH(decode_barred_payload(), "");  // the sanitizer's handler reports it
#else
    EXPECT_EXIT(decode_barred_payload(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
    (void)munmap(barred, page);
}

// Address-space limits and resident-set figures mean nothing under the
// sanitizers (UNDER_ADDRESS_SANITIZER), whose shadow memory dwarfs the tool's own.
TEST(ImageWindowTest, HugeImageFromAFewBytesTakesNeitherMemoryNorDisk) {
    test::temp_dir dir;
    const std::string input = dir / "tiny.bin";
    const std::uint32_t out_size = 1u << 30;
    const bytes container =
        kit::make_container(out_size, kit::compress_lzo1x(bytes(0), kit::compressor::lzo1x_1));
    ASSERT_EQ(container.size(), 19u);
    test::write_file(input, container);

    const auto start = std::chrono::steady_clock::now();
    const test::run_result r = test::run_unlzon({input});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat info {};
    ASSERT_EQ(stat((input + ".nds").c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), out_size);
    // The zero tail is a hole: at most a block or two of metadata.
    EXPECT_LE(static_cast<std::uint64_t>(info.st_blocks) * 512, 64u * 1024);
    // The target is 0.1 s; the bound leaves room for a busy or emulated machine.
    EXPECT_LT(took.count(), 2.0);
#ifndef UNDER_ADDRESS_SANITIZER
    if (sizeof(void*) >= 8) {
        // Counted from what the same program takes to print its usage line,
        // which is all of it on a bare machine but includes the emulator's
        // own memory under qemu-user.
        const test::run_result usage = test::run_unlzon({});
        EXPECT_LE(r.peak_memory_kib, std::max<long>(usage.peak_memory_kib, 0) + 16 * 1024);
    }
#endif
}

// The demo's earlier image stays when the run fails, whichever failure comes
// first: a broken stream is reported before a write error that met it.
TEST(ImageWindowTest, WriteErrorDuringTheDecodingKeepsTheReportsOrder) {
    test::temp_dir dir;
    const std::string input = dir / "demo.bin";
    const std::string output = input + ".nds";
    const bytes earlier = {'o', 'l', 'd'};
    const bytes image = noise(SEVERAL_CHUNKS, 21);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    bytes cut = stream;
    cut.resize(cut.size() - 100);
    struct case_t {
        const char* name;
        bytes container;
        int status;
        std::string err;
    };
    const case_t cases[] = {
        {"whole stream", kit::make_container(SEVERAL_CHUNKS, stream), FAILED,
         "  ERROR: Could not write output file (" + output + ")!\n"},
        {"broken stream", kit::make_container(SEVERAL_CHUNKS, cut), 1,
         "internal error - decompression failed: -4\n"},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(input, c.container);
        test::write_file(output, earlier);
        test::run_options options;
        options.file_size_limit = CHUNK + CHUNK / 2;  // met while the window writes
        const test::run_result r = test::run_unlzon({input}, options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("Decompressed data written"), std::string::npos);
        EXPECT_EQ(test::read_bytes(output), earlier);
        EXPECT_EQ(test::folder_entries(dir.path()),
                  (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));
    }
}

// What the window relies on can fail: the system may refuse to move its pages
// (ENOMEM near the map count limit), and a parent may start the run with the
// fault signals blocked or ignored. Each run ends with its line or its image,
// never of a signal, and leaves the folder as it was or with the image.
TEST(ImageWindowTest, RunsTheWindowCannotServeEndWithALineOrTheImage) {
    test::temp_dir dir;
    const std::string input = dir / "demo.bin";
    const std::string output = input + ".nds";
    const bytes image = noise(SEVERAL_CHUNKS, 41);
    test::write_file(
        input,
        kit::make_container(SEVERAL_CHUNKS, kit::compress_lzo1x(image, kit::compressor::lzo1x_1)));
    const bytes earlier = {'o', 'l', 'd'};
    const std::string no_memory = "  ERROR: Could not allocate " + std::to_string(SEVERAL_CHUNKS) +
                                  " bytes for the image buffer!\n";
    struct case_t {
        const char* name;
        bool refuse_moves;
        bool named;  // no /proc: the pending file has a name to leave behind
        std::vector<int> blocked;
        std::vector<int> ignored;
        int status;
        std::string err;
    };
    const case_t cases[] = {
        {"page moves refused", true, false, {}, {}, FAILED, no_memory},
        {"page moves refused, named, SIGSEGV ignored",
         true,
         true,
         {},
         {SIGSEGV},
         FAILED,
         no_memory},
        {"fault signals blocked at start", false, false, {SIGSEGV, SIGBUS}, {}, 0, ""},
        {"fault signals blocked at start, named", false, true, {SIGSEGV, SIGBUS}, {}, 0, ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.refuse_moves && (!UNLZON_LINUX_EXTRAS || !test::page_moves_can_be_refused())) {
            std::printf("skipped row: no page moves here, or no seccomp filter reaches them\n");
            continue;
        }
        if (c.named && !test::can_hide_mounts()) {
            std::printf("skipped row: an empty /proc needs root and mount namespaces\n");
            continue;
        }
#if defined(UNDER_ADDRESS_SANITIZER)
        if (c.named) {
            // It warns on standard error, and AddressSanitizer's check of a
            // jump from the alternate stack dies without /proc/self/maps.
            std::printf("skipped row: the sanitizer's runtime needs /proc\n");
            continue;
        }
#endif
        test::write_file(output, earlier);
        test::run_options options;
        options.refuse_page_moves = c.refuse_moves;
        options.hide_proc = c.named;
        options.blocked_signals = c.blocked;
        options.ignored_signals = c.ignored;
        const test::run_result r = test::run_unlzon({input}, options);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(test::read_bytes(output), c.status == 0 ? image : earlier);
        EXPECT_EQ(test::folder_entries(dir.path()),
                  (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));
    }
}

#endif  // _WIN32

}  // namespace
}  // namespace unlzon
