// SPDX-License-Identifier: GPL-2.0-or-later
// Faults that only Windows can have: text-mode translation, file names
// outside the ANSI code page, replacing a file that is in the way, a run
// ended by TerminateProcess, which no handler sees, and a console window that
// would close before its lines are read.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "test_support.h"
#include "windows/console.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr int FAILED = 255;

// Write through the UTF-8 path, as the tool must read it.
void write_utf8_named(const std::string& path, const bytes& data) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good());
}

class WindowsTest : public ::testing::Test {
  protected:
    test::temp_dir dir_;
    std::string input_ = dir_ / "demo.bin";
    std::string output_ = input_ + ".nds";
};

// Bytes that text mode would translate: LF to CR LF on writing, CR LF to LF
// and Ctrl+Z as the end on reading.
TEST_F(WindowsTest, ImagesAndContainersAreBinary) {
    const bytes images[] = {
        bytes{0x0A, 0x0A, 0x0D, 0x0A},
        bytes(5000, 0x0A),
        bytes{0x1A, 0x0D, 0x0A, 0x1A, 0x00, 0x0A},
    };
    for (const bytes& image : images) {
        test::write_file(input_, kit::pack_demo(image));
        const test::run_result r = test::run_unlzon({input_});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::read_bytes(output_), image);
        EXPECT_EQ(r.out.find('\r'), std::string::npos);  // lines end in LF alone, as on POSIX
    }
}

TEST_F(WindowsTest, NonAsciiNameIsUnpackedAndPrintedBackAsGiven) {
    const bytes image = test::sample_image(4000, 3);
    for (const std::string name : {"デモ.bin", "démo ü.bin", "демо.bin"}) {
        SCOPED_TRACE(name);
        const std::string input = dir_ / name;
        write_utf8_named(input, kit::pack_demo(image));
        const test::run_result r = test::run_unlzon({input});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Decompressed data written to " + input + ".nds\n"),
                  std::string::npos);
        EXPECT_EQ(test::read_bytes(input + ".nds"), image);
    }
    const test::run_result missing = test::run_unlzon({dir_ / "無い.bin"});
    EXPECT_EQ(missing.err, "  ERROR: Could not open input file (" + (dir_ / "無い.bin") + ")!\n");
    EXPECT_EQ(missing.status, FAILED);
}

TEST_F(WindowsTest, BundledSampleUnpacksToItsRecipe) {
    const std::string sample = std::string(UNLZON_SOURCE_DIR) + "/examples/sample.bin";
    const std::optional<bytes> container = test::read_bytes(sample);
    ASSERT_TRUE(container.has_value());
    test::write_file(input_, *container);
    const test::run_result r = test::run_unlzon({input_});
    EXPECT_EQ(r.status, 0) << r.err;
    // The recipe of examples/make-sample.sh: a 96 KiB image from seed 2026.
    EXPECT_EQ(test::read_bytes(output_), kit::make_demo_image(96 * 1024, 2026));
}

// An earlier image is replaced by the rename; one marked read-only stays as
// it was, with one error line.
TEST_F(WindowsTest, EarlierOutputIsReplacedUnlessItRefuses) {
    const bytes image = test::sample_image(70000, 9);
    const bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    test::write_file(input_, kit::pack_demo(image));
    test::write_file(output_, earlier);
    EXPECT_EQ(test::run_unlzon({input_}).status, 0);
    EXPECT_EQ(test::read_bytes(output_), image);
    EXPECT_EQ(test::folder_entries(dir_.path()),
              (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));

    const std::string refusal = "  ERROR: Could not open output file (" + output_ + ")!\n";
    test::write_file(output_, earlier);
    const std::wstring wide_output = std::filesystem::u8path(output_).wstring();
    ASSERT_TRUE(SetFileAttributesW(wide_output.c_str(), FILE_ATTRIBUTE_READONLY));
    test::run_result r = test::run_unlzon({input_});
    EXPECT_EQ(r.err, refusal);
    EXPECT_EQ(r.status, FAILED);
    ASSERT_TRUE(SetFileAttributesW(wide_output.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(test::read_bytes(output_), earlier);
    EXPECT_EQ(test::folder_entries(dir_.path()),
              (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));
}

// TerminateProcess runs no handler: the pending file, marked to be deleted on
// close, must go with the process's handles.
TEST_F(WindowsTest, TerminatedRunLeavesTheEarlierFileAndNothingElse) {
    constexpr std::size_t size = std::size_t{64} << 20;
    test::write_file(input_, kit::pack_demo(bytes(size, 0)));
    const bytes earlier = {'k', 'e', 'e', 'p'};
    test::write_file(output_, earlier);
    const int pid = test::start_unlzon({input_});
    ASSERT_TRUE(test::wait_for_open_file_in(pid, dir_.path(), input_));
    test::kill_program(pid);
    const test::run_result r = test::finish_program(pid);
    const std::optional<bytes> left = test::read_bytes(output_);
    ASSERT_TRUE(left.has_value());
    // The kill may land after the rename: then the image is whole.
    (void)r;
    EXPECT_TRUE(*left == earlier || *left == bytes(size, 0)) << "size " << left->size();
    EXPECT_EQ(test::folder_entries(dir_.path()),
              (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));
}

// The window is held only where it would otherwise close unread: a console
// made for this process alone, every stream showing in it.
TEST(ConsoleWindowTest, KeptOpenOnlyWhenAloneInItWithNoStreamRedirected) {
    struct {
        unsigned long processes;
        bool streams_on_console;
        bool kept_open;
    } const cases[] = {
        {1, true, true},    // dropped onto unlzon.exe in Explorer
        {2, true, false},   // typed at a cmd or PowerShell prompt, or in a batch file
        {3, true, false},   // a script started from a prompt
        {1, false, false},  // a console of its own, but output goes to a file or pipe
        {2, false, false},  // redirected at a prompt
        {0, false, false},  // no console at all
    };
    for (const auto& c : cases) {
        EXPECT_EQ(windows::keeps_window_open({c.processes, c.streams_on_console}), c.kept_open)
            << c.processes << " processes, streams on the console: " << c.streams_on_console;
    }
}

// A console of its own (as Explorer gives it) with the streams on the null
// device: nobody could read the window, so the run must end by itself. The
// case that does wait needs a key press, which no test here can make.
TEST_F(WindowsTest, OwnConsoleWithRedirectedStreamsEndsWithoutAKey) {
    const bytes image = test::sample_image(3000, 5);
    test::write_file(input_, kit::pack_demo(image));
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr);
    const HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(null_in, INVALID_HANDLE_VALUE);
    ASSERT_NE(null_out, INVALID_HANDLE_VALUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = null_in;
    startup.hStdOutput = null_out;
    startup.hStdError = null_out;
    const std::wstring program = std::filesystem::u8path(UNLZON_PATH).wstring();
    std::wstring line =
        L"\"" + program + L"\" \"" + std::filesystem::u8path(input_).wstring() + L"\"";
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &process);
    CloseHandle(null_in);
    CloseHandle(null_out);
    ASSERT_TRUE(started);
    CloseHandle(process.hThread);
    const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
    if (waited != WAIT_OBJECT_0) {
        (void)TerminateProcess(process.hProcess, 1);
    }
    DWORD code = 1;
    (void)GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "still waiting after 30 s";
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(test::read_bytes(output_), image);
}

// The folder script beside a copy of unlzon.exe, as cmd runs it from a
// prompt: every *.bin below a folder and each file given, under names with
// spaces, "&", "!", parentheses and letters outside ASCII; a bad demo is named
// after unlzon's line and in the summary, and fails the run; "/?" and "-h"
// give the usage, and unpack nothing. (Wine's cmd
// expands a "%" inside an expanded name again, which Windows' does not, and
// leaves %cmdcmdline% empty, so neither "%" nor a drop is tried here.)
TEST(FolderScriptTest, UnpacksFoldersAndFilesAndNamesEveryFailure) {
    namespace fs = std::filesystem;
    const test::temp_dir dir;
    // cmd takes "/" for the start of a switch.
    const auto native = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    const std::string bin = native(dir / "bin");
    fs::create_directory(fs::u8path(bin));
    fs::copy_file(fs::u8path(UNLZON_PATH), fs::u8path(bin + "\\unlzon.exe"));
    fs::copy_file(fs::u8path(std::string(UNLZON_SOURCE_DIR) + "/examples/unpack-all.cmd"),
                  fs::u8path(bin + "\\unpack-all.cmd"));
    const std::string demos = native(dir / "demos");
    const std::string files = native(dir / "files");
    fs::create_directories(fs::u8path(demos + "\\sub (1)"));
    fs::create_directory(fs::u8path(files));

    const bytes image = test::sample_image(3000, 4);
    const std::string good[] = {demos + "\\a & b!.bin", demos + "\\sub (1)\\démo ü.bin",
                                demos + "\\UPPER.BIN", files + "\\c & d!.bin",
                                files + "\\(e) デモ.bin"};
    for (const std::string& name : good) {
        write_utf8_named(name, kit::pack_demo(image));
    }
    const std::string bad = demos + "\\bad & (2).bin";
    write_utf8_named(bad, {'n', 'o', 't'});
    const std::string other = demos + "\\notes.bin.txt";
    write_utf8_named(other, kit::pack_demo(image));

    const char* const comspec = std::getenv("ComSpec");
    const std::string cmd = comspec != nullptr ? comspec : "C:\\windows\\system32\\cmd.exe";
    const std::string script = bin + "\\unpack-all.cmd";
    const std::string usage =
        "usage: unpack-all.cmd PATH... (or drop folders or demos onto it)\r\n";
    struct {
        std::vector<std::string> paths;
        std::string out;
        std::string err;
        int status;
    } const cases[] = {
        {{demos},
         "failed: " + bad + "\r\n3 unpacked, 1 failed:\r\n  " + bad + "\r\n",
         "  ERROR: Not a valid compressed demo (" + bad + ")!\n",
         1},
        {{good[3], good[4]}, "2 unpacked, 0 failed\r\n", "", 0},
        {{}, usage, "", 2},
        {{"/?"}, usage, "", 2},
        {{"-h", demos}, usage, "", 2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{cmd, "/c", script};
        argv.insert(argv.end(), c.paths.begin(), c.paths.end());
        const test::run_result r = test::run_program(argv);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
    for (const std::string& name : good) {
        EXPECT_EQ(test::read_bytes(name + ".nds"), image) << name;
    }
    EXPECT_FALSE(fs::exists(fs::u8path(bad + ".nds")));
    EXPECT_FALSE(fs::exists(fs::u8path(other + ".nds")));
}

}  // namespace
}  // namespace unlzon
