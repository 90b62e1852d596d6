// SPDX-License-Identifier: GPL-2.0-or-later
// A hostile user's tries at the run: folders swapped under it, the demo
// itself at the output name, groups wider than the demo's, folders that keep
// every name, a disk that cannot deliver a page, too few descriptors. Each
// case checks the exact error line, the status, the folder listing and that
// the demo and an earlier image are byte for byte as they were.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

constexpr int FAILED = 255;

std::string open_error(const std::string& output) {
    return "  ERROR: Could not open output file (" + output + ")!\n";
}

// The demo itself must never be replaced by its image, whatever name leads
// to it: a link from the input to the output name, or a hard link there.
TEST(HardeningTest, TheDemoAtTheOutputNameIsRefusedAndKept) {
    namespace fs = std::filesystem;
    const bytes container = kit::pack_demo(test::sample_image(50000, 3));
    struct case_t {
        const char* name;
        bool needs_symlinks;
        // Lays out demo.bin in `dir`; the container lies in demo.bin.nds.
        std::function<void(const fs::path& dir, std::error_code& error)> plant;
    };
    const case_t cases[] = {
        {"relative link from the input", true,
         [](const fs::path& dir, std::error_code& error) {
             fs::create_symlink("demo.bin.nds", dir / "demo.bin", error);
         }},
        {"absolute link from the input", true,
         [](const fs::path& dir, std::error_code& error) {
             fs::create_symlink(dir / "demo.bin.nds", dir / "demo.bin", error);
         }},
        {"hard link at the output name", false,
         [](const fs::path& dir, std::error_code& error) {
             fs::create_hard_link(dir / "demo.bin.nds", dir / "demo.bin", error);
         }},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
#ifdef _WIN32
        if (c.needs_symlinks) {
            continue;  // symbolic links need a privilege on Windows
        }
#endif
        test::temp_dir dir;
        const std::string output = dir / "demo.bin.nds";
        test::write_file(output, container);
        std::error_code error;
        c.plant(dir.path(), error);
        ASSERT_FALSE(error) << error.message();
        const std::vector<std::string> before = test::folder_entries(dir.path());
        const test::run_result r = test::run_unlzon({dir / "demo.bin"});
        EXPECT_EQ(r.err, open_error(output));
        EXPECT_EQ(r.status, FAILED);
        EXPECT_EQ(test::read_bytes(output), container);
        EXPECT_EQ(test::read_bytes(dir / "demo.bin"), container);
        EXPECT_EQ(test::folder_entries(dir.path()), before);
    }
}

#ifndef _WIN32

// The folder named by the path is the folder of the whole run: renamed and
// replaced by a link to another folder while the run reads the demo, it
// still receives the image, and the link's target receives nothing.
TEST(HardeningTest, FolderSwappedDuringTheRunStillReceivesTheImage) {
    test::temp_dir dir;
    const std::string demos = dir / "demos";
    const std::string moved = dir / "demos.moved";
    const std::string target = dir / "target";
    ASSERT_EQ(mkdir(demos.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    // Large enough that decoding it outlasts the swap by far.
    const bytes image = test::sample_image(std::size_t{48} << 20, 9);
    const std::string input = demos + "/rotate.bin";
    test::write_file(input, kit::pack_demo(image));

    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, input.c_str(), IN_OPEN), 0);
    const int pid = test::start_unlzon({input});
    // The first open of the demo is the run's: swap the folder at once.
    alignas(inotify_event) char event[sizeof(inotify_event) + 256];
    ASSERT_GT(read(watch, event, sizeof event), 0);
    ASSERT_EQ(rename(demos.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), demos.c_str()), 0);
    const bool swapped_in_time = !std::filesystem::exists(moved + "/rotate.bin.nds");
    close(watch);
    const test::run_result r = test::finish_program(pid);
    ASSERT_TRUE(swapped_in_time) << "the run ended before the swap; the test proves nothing";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::read_bytes(moved + "/rotate.bin.nds"), image);
    EXPECT_TRUE(test::folder_entries(target).empty());
}

// Root in a setgid folder: the image takes the demo's group, not the
// folder's, so that the folder's group cannot read what the demo hides.
// A user who cannot give the demo's group gives the folder's group nothing.
TEST(HardeningTest, ImageNeverGrantsAGroupMoreThanTheDemoDoes) {
    if (!test::running_as_root()) {
        GTEST_SKIP() << "needs root to set groups on files and to run as user nobody";
    }
    constexpr gid_t FOLDER_GROUP = 2345;
    constexpr gid_t DEMO_GROUP = 3456;
    struct case_t {
        const char* name;
        bool as_nobody;
        mode_t demo_mode;
        gid_t expected_group;
        mode_t expected_mode;
    };
    const case_t cases[] = {
        {"root gives the demo's group", false, 0640, DEMO_GROUP, 0640},
        // Nobody reads the demo as one of the others, outside its group.
        {"nobody cannot, and drops the group bits", true, 0644, FOLDER_GROUP, 0604},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        test::temp_dir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        const std::string folder = dir / "shared";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chown(folder.c_str(), c.as_nobody ? 65534 : 0, FOLDER_GROUP), 0);
        ASSERT_EQ(chmod(folder.c_str(), 02770), 0);
        const std::string input = folder + "/demo.bin";
        const bytes image = test::sample_image(40000, 4);
        test::write_file(input, kit::pack_demo(image));
        ASSERT_EQ(chown(input.c_str(), 0, DEMO_GROUP), 0);
        ASSERT_EQ(chmod(input.c_str(), c.demo_mode), 0);
        test::run_options options;
        options.as_nobody = c.as_nobody;
        const mode_t previous = umask(0);
        const test::run_result r = test::run_unlzon({input}, options);
        umask(previous);
        if (c.as_nobody && r.status == 126) {
            GTEST_SKIP() << "the built program cannot be run as user nobody from here";
        }
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat info {};
        ASSERT_EQ(stat((input + ".nds").c_str(), &info), 0);
        EXPECT_EQ(info.st_gid, c.expected_group);
        EXPECT_EQ(info.st_mode & 07777, c.expected_mode);
        EXPECT_EQ(test::read_bytes(input + ".nds"), image);
    }
}

// Sets or clears the append-only flag of `path`; false where the file
// system or the user cannot.
bool set_append_only(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL,
                       ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) {
        close(fd);
    }
    return done;
}

// A folder that keeps every name (chattr +a) lets a new image in, but an
// earlier one can never be replaced there: the run refuses before writing
// anything, instead of leaving a complete image under a hidden name.
TEST(HardeningTest, AppendOnlyFolderTakesANewImageAndRefusesToReplace) {
    SKIP_WITHOUT_LINUX_EXTRA("append_only", "append-only folders are not recognised");
    test::temp_dir dir;
    const std::string folder = dir / "kept";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const bytes image = test::sample_image(60000, 6);
    const bytes container = kit::pack_demo(image);
    const bytes earlier = {'o', 'l', 'd'};
    test::write_file(folder + "/new.bin", container);
    test::write_file(folder + "/old.bin", container);
    test::write_file(folder + "/old.bin.nds", earlier);
    if (!set_append_only(folder, true)) {
        GTEST_SKIP() << "cannot make a folder append-only here (needs root and ext4 or alike)";
    }
    const test::run_result replaced = test::run_unlzon({folder + "/old.bin"});
    const test::run_result added = test::run_unlzon({folder + "/new.bin"});
    const std::vector<std::string> entries = test::folder_entries(folder);
    ASSERT_TRUE(set_append_only(folder, false));

    EXPECT_EQ(replaced.err, open_error(folder + "/old.bin.nds"));
    EXPECT_EQ(replaced.status, FAILED);
    EXPECT_EQ(test::read_bytes(folder + "/old.bin.nds"), earlier);
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(test::read_bytes(folder + "/new.bin.nds"), image);
    EXPECT_EQ(entries,
              (std::vector<std::string>{"new.bin", "new.bin.nds", "old.bin", "old.bin.nds"}));
}

// Five descriptors: the three streams, the folder and one file at a time.
// The run still ends with the whole image under its name, replacing an
// earlier one or not.
TEST(HardeningTest, FiveDescriptorsAreEnoughForAWholeRun) {
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "replacing" : "new name");
        test::temp_dir dir;
        const bytes image = test::sample_image(200000, 8);
        test::write_file(dir / "demo.bin", kit::pack_demo(image));
        if (earlier) {
            test::write_file(dir / "demo.bin.nds", {'o', 'l', 'd'});
        }
        test::run_options options;
        options.open_files_limit = 5;
        const test::run_result r = test::run_unlzon({dir / "demo.bin"}, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(test::read_bytes(dir / "demo.bin.nds"), image);
        EXPECT_EQ(test::folder_entries(dir.path()),
                  (std::vector<std::string>{"demo.bin", "demo.bin.nds"}));
    }
}

#ifdef UNLZON_FAILING_FS
// A demo on a FUSE file system of the test's own, whose one 4 KiB page in the
// middle of the payload fails (or, stalled, is never answered). Unmounted,
// and its server ended, when the object goes.
class failing_mount {
  public:
    // `mode`: nullptr (the page always fails) or "stall" (see failing_fs.cc).
    failing_mount(const std::string& folder, const bytes& container, const char* mode)
        : mount_point_(folder + "/mnt") {
        const std::string backing = folder + "/backing.bin";
        test::write_file(backing, container);
        if (mkdir(mount_point_.c_str(), 0755) != 0) {
            return;
        }
        const std::string bad = std::to_string(container.size() / 2 / 4096 * 4096);
        server_ = fork();
        if (server_ == 0) {
            execl(UNLZON_FAILING_FS, UNLZON_FAILING_FS, backing.c_str(), bad.c_str(), "4096",
                  mount_point_.c_str(), mode, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && !std::filesystem::exists(input()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~failing_mount() { stop(); }

    // Unmount and end the server: a read it left waiting then fails.
    void stop() {
        (void)umount2(mount_point_.c_str(), MNT_DETACH);
        if (server_ > 0) {
            test::kill_program(server_);
            test::finish_program(server_);
            server_ = -1;
        }
    }
    failing_mount(const failing_mount&) = delete;
    failing_mount& operator=(const failing_mount&) = delete;

    std::string input() const { return mount_point_ + "/demo.bin"; }
    bool up() const { return std::filesystem::exists(input()); }

  private:
    std::string mount_point_;
    int server_ = -1;
};

bool can_mount_fuse() {
    return test::running_as_root() && access("/dev/fuse", R_OK | W_OK) == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A payload from the C library's heap and one mapped from the kernel.
const std::size_t PAYLOAD_WAYS[] = {std::size_t{1} << 20, std::size_t{24} << 20};

// A disk that cannot deliver one page of the payload: the run ends at once
// with the read error.
TEST(HardeningTest, UnreadablePageInThePayloadIsAPromptReadError) {
    if (!can_mount_fuse()) {
        GTEST_SKIP() << "needs root and /dev/fuse to mount a FUSE file system";
    }
    for (const std::size_t size : PAYLOAD_WAYS) {
        SCOPED_TRACE(size);
        test::temp_dir dir;
        const failing_mount mount(dir.path(), kit::pack_demo(test::sample_image(size, 2)), nullptr);
        ASSERT_TRUE(mount.up()) << "the file system did not come up";
        test::run_options options;
        options.kill_after_seconds = 20;  // a run that hangs is ended, not waited for
        const auto started = std::chrono::steady_clock::now();
        const test::run_result r = test::run_unlzon({mount.input()}, options);
        EXPECT_LT(seconds_since(started), 5.0);
        EXPECT_EQ(r.signal, 0) << "the run hung on the unreadable page";
        EXPECT_EQ(r.err, "  ERROR: Could not read input file (" + mount.input() + ")!\n");
        EXPECT_EQ(r.status, FAILED);
        EXPECT_EQ(r.out.find("Actual size"), std::string::npos);
        // The file system is read-only: no image can have been left on it.
        EXPECT_FALSE(test::read_bytes(mount.input() + ".nds").has_value());
    }
}

// A read that is never answered (a hung server) holds the run, but SIGINT
// and SIGTERM still end it, as they would end any other program.
TEST(HardeningTest, StalledReadOfThePayloadIsEndedByAnInterrupt) {
    if (!can_mount_fuse()) {
        GTEST_SKIP() << "needs root and /dev/fuse to mount a FUSE file system";
    }
    for (const int signal_number : {SIGINT, SIGTERM}) {
        for (const std::size_t size : PAYLOAD_WAYS) {
            SCOPED_TRACE(std::to_string(signal_number) + " at " + std::to_string(size));
            test::temp_dir dir;
            failing_mount mount(dir.path(), kit::pack_demo(test::sample_image(size, 2)), "stall");
            ASSERT_TRUE(mount.up()) << "the file system did not come up";
            const int pid = test::start_unlzon({mount.input()});
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            ASSERT_EQ(kill(pid, signal_number), 0);
            const auto signalled = std::chrono::steady_clock::now();
            bool ended = false;
            while (!ended && seconds_since(signalled) < 10) {
                siginfo_t info{};
                ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                            0 &&
                        info.si_pid == pid;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (!ended) {
                // A process killed while it waits on the server can only
                // finish once the server is gone.
                mount.stop();
                test::kill_program(pid);
            }
            const test::run_result r = test::finish_program(pid);
            EXPECT_TRUE(ended) << "the interrupt did not end the run";
            EXPECT_EQ(r.signal, signal_number);
        }
    }
}
#endif  // UNLZON_FAILING_FS

#endif  // !_WIN32

}  // namespace
}  // namespace unlzon
