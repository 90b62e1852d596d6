// SPDX-License-Identifier: GPL-2.0-or-later
// The pending output, both ways (unnamed and under a temporary name): what
// stands at the output name is replaced only by a complete file, in one step
// (integrity_test.cc plants at the name what may stand there).
#include "output_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

#ifndef _WIN32
#include "posix/signals.h"
#endif
#include "process.h"
#include "test_access.h"
#include "test_support.h"

namespace unlzon {
namespace {

using test::bytes;

using create_fn = std::optional<pending_output> (*)(const demo_folder&, const std::string&,
                                                    const file_origin&);

struct way {
    const char* name;
    create_fn create;
};

void PrintTo(const way& value, std::ostream* out) {
    *out << value.name;
}

class PendingOutputTest : public ::testing::TestWithParam<way> {
  protected:
    // A pending out.nds for an image made from a demo with `permissions`, of
    // this process's group.
    std::optional<pending_output> create(std::uint32_t permissions = 0644) {
        file_origin origin;
        origin.permissions = permissions;
#ifndef _WIN32
        origin.group = getgid();
#endif
        return GetParam().create(*folder_, "out.nds", origin);
    }

    test::temp_dir dir_;
    std::string output_ = dir_ / "out.nds";
    std::string name_;
    const std::optional<demo_folder> folder_ = demo_folder::open_parent(output_.c_str(), name_);
    const bytes image_ = test::sample_image(100000);
};

TEST_P(PendingOutputTest, NothingIsVisibleUntilTheCommit) {
    std::optional<pending_output> out = create();
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->write(image_.data(), image_.size()), output_status::ok);
    EXPECT_FALSE(test::read_bytes(output_).has_value());
    EXPECT_EQ(out->commit(), output_status::ok);
    EXPECT_EQ(test::read_bytes(output_), image_);
    EXPECT_EQ(test::folder_entries(dir_.path()), std::vector<std::string>{"out.nds"});
}

TEST_P(PendingOutputTest, DiscardedFileLeavesTheFolderAsItWas) {
    const bytes earlier = {'k', 'e', 'e', 'p'};
    test::write_file(output_, earlier);
    {
        std::optional<pending_output> out = create();
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(out->write(image_.data(), image_.size()), output_status::ok);
    }
    EXPECT_EQ(test::read_bytes(output_), earlier);
    EXPECT_EQ(test::folder_entries(dir_.path()), std::vector<std::string>{"out.nds"});
}

TEST(DemoFolderTest, NoFolderIsRefusedAndNothingIsMade) {
    const test::temp_dir dir;
    std::string name;
    EXPECT_FALSE(demo_folder::open_parent((dir / "no/such/folder/out.nds").c_str(), name));
    EXPECT_EQ(test::folder_entries(dir.path()), std::vector<std::string>{});
}

TEST_P(PendingOutputTest, PermissionsFollowTheDemoUnderTheUmask) {
#ifdef _WIN32
    GTEST_SKIP() << "no permission bits or umask on Windows";
#else
    const mode_t previous = umask(022);
    for (const std::uint32_t permissions : {0600u, 0644u, 0666u, 0640u}) {
        SCOPED_TRACE(permissions);
        std::optional<pending_output> out = create(permissions);
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(out->commit(), output_status::ok);
        struct stat info {};
        ASSERT_EQ(stat(output_.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, permissions & ~0022u);
    }
    umask(previous);
#endif
}

// In a child process, as the program runs: a signal that ends the run while
// the file is pending, sent or from a real crash, leaves the folder as it
// was, and the process dies of that signal.
TEST_P(PendingOutputTest, FatalSignalWhilePendingLeavesNothingBehind) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX signals and fork; windows_test.cc ends a run with TerminateProcess";
#else
    struct case_t {
        std::string name;
        int signal;
        std::function<void()> die;
    };
    std::vector<case_t> cases;
    for (const int signal_number : posix::fatal_signals()) {
#ifdef UNDER_ADDRESS_SANITIZER
        // A sanitizer keeps its own fault handlers, and the tool leaves them be.
        if (signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
            signal_number == SIGFPE) {
            continue;
        }
#endif
        // qemu-user keeps some real-time signals for itself.
        if (test::signal_reaches_handler(signal_number, false)) {
            cases.push_back({"raise " + std::to_string(signal_number), signal_number,
                             [signal_number] { raise(signal_number); }});
        }
    }
    cases.push_back({"abort", SIGABRT, [] { std::abort(); }});
#ifndef UNDER_ADDRESS_SANITIZER
    cases.push_back({"fault on an inaccessible page", SIGSEGV, [] {
                         void* page =
                             mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                         (void)*static_cast<volatile char*>(page);
                     }});
    const std::string empty = dir_ / "empty";
    cases.push_back({"fault on a view past the end of a file", SIGBUS, [empty] {
                         test::write_file(empty, bytes{});
                         const int fd = open(empty.c_str(), O_RDONLY);
                         void* view = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
                         (void)unlink(empty.c_str());
                         (void)*static_cast<volatile char*>(view);
                     }});
#endif
    const bytes earlier = {'k', 'e', 'e', 'p'};
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(output_, earlier);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            prepare_process();
            std::optional<pending_output> out = create();
            if (!out || out->write(image_.data(), image_.size()) != output_status::ok) {
                _exit(2);
            }
            c.die();
            _exit(3);
        }
        const test::run_result r = test::finish_program(pid);
        EXPECT_EQ(r.signal, c.signal);
        EXPECT_EQ(test::read_bytes(output_), earlier);
        EXPECT_EQ(test::folder_entries(dir_.path()), std::vector<std::string>{"out.nds"});
        for (const std::string& name : test::folder_entries(dir_.path())) {
            std::filesystem::remove(dir_ / name);  // no case sees what another left
        }
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(BothWays, PendingOutputTest,
                         ::testing::Values(way{"unnamed", pending_output::create},
                                           way{"named", test_access::create_named}),
                         [](const ::testing::TestParamInfo<way>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace unlzon
