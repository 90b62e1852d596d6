// SPDX-License-Identifier: GPL-2.0-or-later
// The promise about the output name, tried as a hostile user would: a run
// either puts the complete image there or leaves it holding what it held, and
// the folder holds nothing new. Every failure is one exact line on standard
// error.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mount.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr int FAILED = 255;

class IntegrityTest : public ::testing::Test {
  protected:
    // A demo at `folder`/demo.bin and an earlier image beside it.
    void place(const std::string& folder, const bytes& container) {
        input_ = folder + "/demo.bin";
        output_ = input_ + ".nds";
        test::write_file(input_, container);
        test::write_file(output_, earlier_);
        before_ = test::folder_entries(folder);
    }

    // The run failed with exactly `line` and left everything as it was.
    void expect_untouched_failure(const test::run_result& r, const std::string& line,
                                  const std::string& folder) {
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.status, FAILED);
        EXPECT_EQ(r.out.find("Decompressed data written"), std::string::npos);
        EXPECT_EQ(test::read_bytes(output_), earlier_);
        EXPECT_EQ(test::folder_entries(folder), before_);
    }

    std::string write_error() const {
        return "  ERROR: Could not write output file (" + output_ + ")!\n";
    }
    std::string open_error() const {
        return "  ERROR: Could not open output file (" + output_ + ")!\n";
    }

#ifndef _WIN32
    // Run on a demo and an earlier image in a folder of `mode`. Root would
    // ignore the mode, so root runs the program as nobody, from a copy, on a
    // folder under /tmp that nobody can reach: the build folder and TMPDIR
    // may be private.
    test::run_result run_in_folder_with_mode(mode_t mode) {
        const bool as_nobody = test::running_as_root();
        folder_ = (as_nobody ? reachable_.path() : dir_.path()) + "/folder";
        EXPECT_EQ(chmod(reachable_.path().c_str(), 0755), 0);
        EXPECT_EQ(mkdir(folder_.c_str(), 0755), 0);
        place(folder_, kit::pack_demo(image_));
        test::run_options options;
        options.as_nobody = as_nobody;
        EXPECT_EQ(chmod(folder_.c_str(), mode), 0);
        const test::run_result r = test::run_unlzon({input_}, options);
        EXPECT_EQ(chmod(folder_.c_str(), 0755), 0);
        EXPECT_NE(r.status, 126) << "could not become user nobody";
        EXPECT_NE(r.status, 127) << "user nobody could not start the program";
        return r;
    }
    const test::temp_dir reachable_{"/tmp"};
    std::string folder_;
#endif

    test::temp_dir dir_;
    const bytes earlier_ = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    const bytes image_ = test::sample_image(300000, 5);
    std::string input_;
    std::string output_;
    std::vector<std::string> before_;
};

TEST_F(IntegrityTest, FileSizeLimitIsAWriteErrorAndTheEarlierImageStays) {
#ifdef _WIN32
    GTEST_SKIP() << "no file-size limits on Windows";
#else
    place(dir_.path(), kit::pack_demo(image_));
    test::run_options options;
    options.file_size_limit = 100000;  // SIGXFSZ at its default action
    expect_untouched_failure(test::run_unlzon({input_}, options), write_error(), dir_.path());
#endif
}

TEST_F(IntegrityTest, FullDiskIsAWriteErrorAndTheEarlierImageStays) {
#ifdef _WIN32
    GTEST_SKIP() << "mounting a small tmpfs is POSIX only";
#else
    if (!test::running_as_root()) {
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    }
    const std::string disk = dir_ / "disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    place(disk, kit::pack_demo(image_));
    expect_untouched_failure(test::run_unlzon({input_}), write_error(), disk);
    // With the messages going to the same full disk, as `>log 2>&1` in the
    // folder sends them, the error line must still get there.
    const std::string log = disk + "/log";
    const test::run_result r = test::run_program(
        {"/bin/sh", "-c", "exec \"$0\" \"$1\" >\"$2\" 2>&1", UNLZON_PATH, input_, log});
    EXPECT_EQ(r.status, FAILED);
    const std::optional<bytes> logged = test::read_bytes(log);
    ASSERT_TRUE(logged.has_value());
    const std::string text(logged->begin(), logged->end());
    EXPECT_EQ(
        text.substr(text.size() < write_error().size() ? 0 : text.size() - write_error().size()),
        write_error());
    EXPECT_EQ(test::read_bytes(output_), earlier_);
    EXPECT_EQ(umount(disk.c_str()), 0);
#endif
}

TEST_F(IntegrityTest, UnwritableFolderIsAnOpenErrorAndNothingChanges) {
#ifdef _WIN32
    GTEST_SKIP() << "folder permission bits and user nobody are POSIX only";
#else
    const test::run_result r = run_in_folder_with_mode(0555);
    expect_untouched_failure(r, open_error(), folder_);
#endif
}

// A folder that may be entered and written but not listed takes the image
// where the folder is held without read permission (O_PATH); the portable
// build cannot hold it and refuses the demo, as the README says.
TEST_F(IntegrityTest, FolderThatCannotBeListedTakesTheImageOnlyWithOPath) {
#ifdef _WIN32
    GTEST_SKIP() << "folder permission bits and user nobody are POSIX only";
#else
    const test::run_result r = run_in_folder_with_mode(0333);
    if (UNLZON_LINUX_EXTRAS) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::read_bytes(output_), image_);
    } else {
        expect_untouched_failure(r, "  ERROR: Could not open input file (" + input_ + ")!\n",
                                 folder_);
    }
#endif
}

// While the run writes, its pending file has no name where the build has
// the unnamed file and the file system takes one; in the portable build it
// has a hidden name.
TEST_F(IntegrityTest, PendingFileHasANameOnlyInThePortableBuild) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows build always names its pending file";
#else
    const int probe = open(dir_.path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe < 0) {
        GTEST_SKIP() << "this file system takes no unnamed files: both builds name theirs";
    }
    close(probe);
    constexpr std::uint32_t SIZE = 256u << 20;  // decoding outlasts the look by far
    input_ = dir_ / "big.bin";
    test::write_file(input_, kit::make_container(SIZE, test::zero_stream(SIZE)));
    const int pid = test::start_unlzon({input_});
    ASSERT_TRUE(test::wait_for_open_file_in(pid, dir_.path(), input_));
    kill(pid, SIGSTOP);
    const std::vector<std::string> during = test::folder_entries(dir_.path());
    test::kill_program(pid);
    (void)test::finish_program(pid);
    const auto named = std::count_if(during.begin(), during.end(), [](const std::string& name) {
        return name.rfind(".unlzon-", 0) == 0;
    });
    EXPECT_EQ(named, UNLZON_LINUX_EXTRAS ? 0 : 1);
    EXPECT_EQ(std::count(during.begin(), during.end(), "big.bin.nds"), 0)
        << "the run ended before the look; the test proves nothing";
#endif
}

// Whatever stands at the output name is replaced by the complete image in one
// step, never opened or written through: in a shared folder, a link there
// could otherwise aim the image at any file the victim may write. Whatever it
// pointed to or shared its data with keeps its content. Only a folder there
// is refused: the run reports it after the summary line, and the folder keeps
// what it holds. Each row is planted for the program and for a pending output
// of either kind, as the portable build names its pending file and this one
// need not.
TEST_F(IntegrityTest, WhatStandsAtTheOutputNameIsReplacedNotWrittenThrough) {
    namespace fs = std::filesystem;
    const bytes container = kit::pack_demo(image_);
    input_ = dir_ / "demo.bin";
    output_ = input_ + ".nds";
    const std::string victim = dir_ / "victim";
    const bytes victim_bytes = {'v', 'i', 'c', 't', 'i', 'm'};
    const auto hex = [](std::size_t value) {
        std::ostringstream text;
        text << std::hex << value;
        return text.str();
    };
    const std::size_t in = container.size() - 16;
    const std::string refused_out =
        test::banner_and_library() + "In size: " + hex(in) + "\nOut size: " + hex(image_.size()) +
        "\nActual size: " + hex(image_.size()) + "\nDecompressed " + std::to_string(in) +
        " bytes back into " + std::to_string(image_.size()) + " bytes\n";
    struct case_t {
        const char* name;
        std::function<void()> plant;
        bool refused = false;
    };
    const case_t cases[] = {
        // Longer than the image: a write through it would leave its tail.
        {"regular file", [&] { test::write_file(output_, bytes(image_.size() + 100000, 0x77)); }},
        {"folder holding a file",
         [&] {
             ASSERT_TRUE(fs::create_directory(fs::u8path(output_)));
             test::write_file(output_ + "/inside", earlier_);
         },
         true},
#ifndef _WIN32  // symbolic links need a privilege and FIFOs do not exist on Windows
        {"symbolic link", [&] { ASSERT_EQ(symlink(victim.c_str(), output_.c_str()), 0); }},
        {"dangling symbolic link",
         [&] { ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), output_.c_str()), 0); }},
        {"hard link", [&] { ASSERT_EQ(link(victim.c_str(), output_.c_str()), 0); }},
        {"FIFO", [&] { ASSERT_EQ(mkfifo(output_.c_str(), 0644), 0); }},
        {"link to a device", [&] { ASSERT_EQ(symlink("/dev/full", output_.c_str()), 0); }},
        {"symbolic link to the input",
         [&] { ASSERT_EQ(symlink(input_.c_str(), output_.c_str()), 0); }},
#endif
    };
    struct way_t {
        const char* name;
        std::optional<pending_output> (*create)(const demo_folder&, const std::string&,
                                                const file_origin&);  // null: the program
    };
    const way_t ways[] = {
        {"the program", nullptr},
        {"unnamed pending output", pending_output::create},
        {"named pending output", test_access::create_named},
    };
    for (const way_t& w : ways) {
        for (const case_t& c : cases) {
            SCOPED_TRACE(std::string(w.name) + ", " + c.name);
            test::write_file(input_, container);
            test::write_file(victim, victim_bytes);
            c.plant();
            const std::vector<std::string> before = test::folder_entries(dir_.path());
            if (w.create == nullptr) {
                const test::run_result r = test::run_unlzon({input_});
                if (c.refused) {
                    EXPECT_EQ(r.out, refused_out);
                    EXPECT_EQ(r.err, open_error());
                    EXPECT_EQ(r.status, FAILED);
                } else {
                    EXPECT_EQ(r.err, "");
                    EXPECT_EQ(r.status, 0);
                }
            } else {
                std::string name;
                const std::optional<demo_folder> folder =
                    demo_folder::open_parent(output_.c_str(), name);
                ASSERT_TRUE(folder.has_value());
                const std::optional<input_file> demo = test_access::open_input(input_.c_str());
                ASSERT_TRUE(demo.has_value());
                std::optional<pending_output> out = w.create(*folder, name, demo->origin());
                ASSERT_EQ(out.has_value(), !c.refused);
                if (out) {
                    ASSERT_EQ(out->write(image_.data(), image_.size()), output_status::ok);
                    EXPECT_EQ(out->commit(), output_status::ok);
                }
            }
            EXPECT_EQ(test::read_bytes(victim), victim_bytes);
            EXPECT_EQ(test::read_bytes(input_), container);
            EXPECT_EQ(test::folder_entries(dir_.path()), before);
            if (c.refused) {
                EXPECT_EQ(test::folder_entries(output_), std::vector<std::string>{"inside"});
                EXPECT_EQ(test::read_bytes(output_ + "/inside"), earlier_);
                fs::remove_all(fs::u8path(output_));
                continue;
            }
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(fs::u8path(output_))));
            EXPECT_EQ(fs::hard_link_count(fs::u8path(output_)), 1u);
            EXPECT_EQ(test::read_bytes(output_), image_);
            ASSERT_TRUE(fs::remove(fs::u8path(output_)));
        }
    }
}

TEST_F(IntegrityTest, FifoAsTheInputIsRefusedAtOnce) {
#ifdef _WIN32
    GTEST_SKIP() << "no FIFOs on Windows";
#else
    input_ = dir_ / "demo.bin";
    ASSERT_EQ(mkfifo(input_.c_str(), 0644), 0);
    const auto started = std::chrono::steady_clock::now();
    const test::run_result r = test::run_unlzon({input_});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(r.err, "  ERROR: Could not open input file (" + input_ + ")!\n");
    EXPECT_EQ(r.status, FAILED);
#endif
}

TEST_F(IntegrityTest, ImageIsNeverReadableByMoreUsersThanItsDemo) {
#ifdef _WIN32
    GTEST_SKIP() << "no permission bits on Windows: the image takes the folder's access rights";
#else
    place(dir_.path(), kit::pack_demo(image_));
    ASSERT_EQ(chmod(input_.c_str(), 0600), 0);
    ASSERT_EQ(test::run_unlzon({input_}).status, 0);
    struct stat info {};
    ASSERT_EQ(stat(output_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
}

// Standard streams that are closed or cannot be written. An unwritable
// standard output is reported after the image is complete and named: one
// line on standard error and status 255; the error line of a failed run
// still gets out. A closed descriptor 1 would give its number to the first
// file the run opens, which would then receive the progress text. With no
// /dev/null to reopen a closed stream on (an empty /dev in a container), the
// run still keeps its files off the standard numbers: it goes on as usual, or
// says in one line why it cannot.
TEST_F(IntegrityTest, StandardStreamsClosedOrUnwritable) {
    // Only rows that Windows lacks capture standard output.
    [[maybe_unused]] const test::stdout_target captured = test::stdout_target::captured;
    const test::stdout_target closed = test::stdout_target::closed;
    const test::stdout_target closed_pipe = test::stdout_target::closed_pipe;
    const std::string stdout_error = "  ERROR: Could not write to standard output!\n";
    const std::string demo = dir_ / "demo.bin";
    const std::string not_a_demo = "  ERROR: Not a valid compressed demo (" + demo + ")!\n";
    struct case_t {
        const char* name;
        bool demo;       // a demo, or ten bytes that are none
        bool empty_dev;  // no /dev/null (needs root and mount namespaces)
        bool stdin_closed;
        test::stdout_target out;
        bool stderr_closed;
        std::uint64_t open_files_limit;
        int status;
        std::string err;
        bool written;  // the output holds the image, else the earlier one
    };
    const case_t cases[] = {
#ifndef _WIN32  // no device there refuses every write; a closed pipe does
        {"full device", true, false, false, test::stdout_target::full_device, false, 0, FAILED,
         stdout_error, true},
#endif
        {"closed pipe", true, false, false, closed_pipe, false, 0, FAILED, stdout_error, true},
        {"closed pipe, not a demo", false, false, false, closed_pipe, false, 0, FAILED, not_a_demo,
         false},
        {"standard output closed", true, false, false, closed, false, 0, 0, "", true},
#ifndef _WIN32  // mount namespaces are Linux only
        {"no /dev, standard input closed", true, true, true, captured, false, 0, 0, "", true},
        {"no /dev, standard output closed", true, true, false, closed, false, 0, 0, "", true},
        {"no /dev, standard error closed", true, true, false, captured, true, 0, 0, "", true},
        {"no /dev, all three closed", true, true, true, closed, true, 0, 0, "", true},
#ifndef UNDER_ADDRESS_SANITIZER  // its runtime needs more descriptors to start
        // A pipe needs a second descriptor, which the limit leaves none of.
        {"no /dev, standard output closed, no descriptor to spare", true, true, false, closed,
         false, 3, FAILED, stdout_error, false},
#endif
#endif
    };
    std::string skipped;
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
#ifndef _WIN32
        if (c.empty_dev && !test::can_hide_mounts()) {
            skipped += std::string(skipped.empty() ? "" : ", ") + c.name;
            continue;
        }
#endif
        const bytes container = c.demo ? kit::pack_demo(image_)
                                       : bytes{'n', 'o', 't', ' ', 'a', ' ', 'd', 'e', 'm', 'o'};
        place(dir_.path(), container);
        test::run_options options;
        options.empty_dev = c.empty_dev;
        options.stdin_closed = c.stdin_closed;
        options.out = c.out;
        options.stderr_closed = c.stderr_closed;
        options.open_files_limit = c.open_files_limit;
        const test::run_result r = test::run_unlzon({input_}, options);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(test::read_bytes(input_), container);
        EXPECT_EQ(test::read_bytes(output_), c.written ? image_ : earlier_);
        EXPECT_EQ(test::folder_entries(dir_.path()), before_);
        if (!c.written) {
            EXPECT_EQ(r.out.find("Decompressed data written"), std::string::npos);
        }
        if (c.status == 0 && c.out == closed) {
            EXPECT_EQ(r.out, "");
        } else if (c.status == 0) {
            const std::string last = "Decompressed data written to " + output_ + "\n";
            EXPECT_EQ(r.out.substr(0, test::banner_and_library().size()),
                      test::banner_and_library());
            EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), last.size())), last);
        }
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << "an empty /dev for the run needs root and mount namespaces; not run: "
                     << skipped;
    }
}

// Payloads large enough to be read as a view of the file, on the disk and on
// a tmpfs: the same bytes, and a failed decoding leaves the earlier image and
// nothing else.
TEST_F(IntegrityTest, LargeImagesAreExactOnEveryFileSystem) {
    const std::uint32_t size = 20u << 20;  // a payload of about 10 MiB
    const bytes image = test::sample_image(size, 9);
    const bytes stream = kit::compress_lzo1x(image, kit::compressor::lzo1x_1);
    bytes padded = image;
    padded.resize(size + (1u << 20), 0);
    bytes trailing = stream;
    trailing.push_back(0);
    std::vector<std::string> folders = {dir_ / "disk"};
    ASSERT_TRUE(std::filesystem::create_directory(folders[0]));
    const std::string memory = dir_ / "tmpfs";
    ASSERT_TRUE(std::filesystem::create_directory(memory));
#ifndef _WIN32
    if (test::running_as_root() && mount("tmpfs", memory.c_str(), "tmpfs", 0, "size=64m") == 0) {
        folders.push_back(memory);
    }
#endif
    struct case_t {
        const char* name;
        bytes container;
        std::optional<bytes> image;  // nullopt: the decoding fails with -8
    };
    const case_t cases[] = {
        {"exact", kit::make_container(size, stream), image},
        {"padded", kit::make_container(static_cast<std::uint32_t>(padded.size()), stream), padded},
        {"bytes after the end marker", kit::make_container(size, trailing), std::nullopt},
    };
    for (const std::string& folder : folders) {
        for (const case_t& c : cases) {
            SCOPED_TRACE(folder + ": " + c.name);
            place(folder, c.container);
            const test::run_result r = test::run_unlzon({input_});
            if (c.image) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(test::read_bytes(output_), *c.image);
            } else {
                EXPECT_EQ(r.err, "internal error - decompression failed: -8\n");
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(test::read_bytes(output_), earlier_);
                EXPECT_EQ(test::folder_entries(folder), before_);
            }
        }
    }
#ifndef _WIN32
    if (folders.size() > 1) {
        EXPECT_EQ(umount(memory.c_str()), 0);
    }
#endif
}

}  // namespace
}  // namespace unlzon
