// The Linux front's lock and child process, with small shell scripts standing in for the
// gateway. The scripts report what they see into a file named by $ZV_REPORT.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tray/posix/gateway_process.h"
#include "tray/supervisor.h"

namespace {

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zv-tray-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        report_ = dir_ + "/report";
        setenv("ZV_REPORT", report_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("ZV_REPORT");
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    std::string script(const char* name, const std::string& body, mode_t mode = 0755) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        chmod(path.c_str(), mode);
        return path;
    }

    std::string report() {
        std::ifstream in(report_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Polls like the watch does, for at most about five seconds.
    std::uint32_t wait_for_end(GatewayProcess* process) {
        for (int i = 0; i < 500; ++i) {
            std::uint32_t code = gateway_exit_code(process, kStillActive);
            if (code != kStillActive) return code;
            usleep(10000);
        }
        return kStillActive;
    }

    std::string dir_;
    std::string report_;
};

using SingleCopyLock = TempDir;

TEST_F(SingleCopyLock, SecondClaimIsRefusedUntilTheFirstHolderEnds) {
    std::string path = dir_ + "/Zelvanor.lock";
    int first = -1;
    int second = -1;
    ASSERT_EQ(single_copy_claim(path.c_str(), &first), LockResult::Claimed);
    // flock belongs to the open file, so a second open in this process conflicts like
    // another process would.
    EXPECT_EQ(single_copy_claim(path.c_str(), &second), LockResult::Taken);
    EXPECT_EQ(fcntl(first, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(first);
    EXPECT_EQ(single_copy_claim(path.c_str(), &second), LockResult::Claimed);
    close(second);
}

TEST_F(SingleCopyLock, UnopenableLockFileLetsTheCopyRun) {
    int fd = -1;
    std::string path = dir_ + "/missing/Zelvanor.lock";
    EXPECT_EQ(single_copy_claim(path.c_str(), &fd), LockResult::Unavailable);
    // A planted symlink is not followed.
    std::string link = dir_ + "/link.lock";
    ASSERT_EQ(symlink((dir_ + "/elsewhere").c_str(), link.c_str()), 0);
    EXPECT_EQ(single_copy_claim(link.c_str(), &fd), LockResult::Unavailable);
    EXPECT_NE(access((dir_ + "/elsewhere").c_str(), F_OK), 0);
}

TEST_F(SingleCopyLock, PathPrefersTheRuntimeDirThenTheTempDir) {
    struct Row {
        const char* runtime;
        const char* temp;
        const char* expected;
    };
    const Row rows[] = {
        {"/run/user/1000", "/var/tmp", "/run/user/1000/Zelvanor.lock"},
        {"", "/var/tmp", "/var/tmp/Zelvanor.lock"},
        {nullptr, nullptr, "/tmp/Zelvanor.lock"},
    };
    const char* saved_runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* saved_temp = std::getenv("TMPDIR");
    std::string keep_runtime = saved_runtime ? saved_runtime : "";
    std::string keep_temp = saved_temp ? saved_temp : "";
    for (const Row& row : rows) {
        row.runtime ? setenv("XDG_RUNTIME_DIR", row.runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
        row.temp ? setenv("TMPDIR", row.temp, 1) : unsetenv("TMPDIR");
        char path[256];
        ASSERT_TRUE(single_copy_lock_path(path, sizeof path));
        EXPECT_STREQ(path, row.expected);
    }
    char tiny[8];
    unsetenv("TMPDIR");
    EXPECT_FALSE(single_copy_lock_path(tiny, sizeof tiny));
    saved_runtime ? setenv("XDG_RUNTIME_DIR", keep_runtime.c_str(), 1)
                  : unsetenv("XDG_RUNTIME_DIR");
    saved_temp ? setenv("TMPDIR", keep_temp.c_str(), 1) : unsetenv("TMPDIR");
}

using Gateway = TempDir;

TEST_F(Gateway, StartsWithNullStdioNoInheritedDescriptorsAndItsOwnPathAsOnlyArgument) {
    // A descriptor some library forgot to mark close-on-exec, and the single-copy lock.
    int leaked = dup2(open("/dev/null", O_RDONLY), 57);
    ASSERT_EQ(leaked, 57);
    int lock = -1;
    ASSERT_EQ(single_copy_claim((dir_ + "/Zelvanor.lock").c_str(), &lock), LockResult::Claimed);
    setenv("ZV_LOCK_FD", std::to_string(lock).c_str(), 1);
    std::string path =
        script("Quorvel",
               "exec 9>\"$ZV_REPORT\"\n"
               "for fd in 0 1 2; do t=$(readlink /proc/$$/fd/$fd); echo \"$t\" >&9; done\n"
               "for fd in 57 $ZV_LOCK_FD; do\n"
               "  [ -e /proc/$$/fd/$fd ] && echo \"inherited $fd\" >&9\n"
               "done\n"
               "echo \"$0|$#\" >&9\n"
               "exit 7");
    GatewayProcess process{};
    ASSERT_EQ(gateway_start(&process, path.c_str()), 0);
    EXPECT_EQ(wait_for_end(&process), 7u);
    close(leaked);
    close(lock);
    unsetenv("ZV_LOCK_FD");
    EXPECT_EQ(report(), "/dev/null\n/dev/null\n/dev/null\n" + path + "|0\n");
}

TEST_F(Gateway, PollReportsStillActiveUntilTerminatedThenNeverAgain) {
    std::string path = script("Quorvel", "exec sleep 30");
    GatewayProcess process{};
    ASSERT_EQ(gateway_start(&process, path.c_str()), 0);
    EXPECT_EQ(gateway_exit_code(&process, kStillActive), kStillActive);
    gateway_terminate(&process);
    EXPECT_TRUE(process.reaped);
    EXPECT_EQ(kill(process.pid, 0), -1);  // reaped: no zombie left behind
    EXPECT_EQ(gateway_exit_code(&process, kStillActive), 128u + SIGKILL);
    gateway_terminate(&process);  // already gone: nothing to kill
    EXPECT_EQ(gateway_exit_code(&process, kStillActive), 128u + SIGKILL);
}

TEST_F(Gateway, ProcessEndedFromOutsideIsSeenByThePoll) {
    std::string path = script("Quorvel", "exec sleep 30");
    GatewayProcess process{};
    ASSERT_EQ(gateway_start(&process, path.c_str()), 0);
    kill(process.pid, SIGTERM);
    EXPECT_EQ(wait_for_end(&process), 128u + SIGTERM);
}

TEST_F(Gateway, FilesThatCannotRunReportTheSystemError) {
    std::string plain = script("Quorvel", "exit 0", 0644);
    GatewayProcess process{};
    EXPECT_EQ(gateway_start(&process, plain.c_str()), EACCES);
    EXPECT_EQ(gateway_start(&process, (dir_ + "/absent").c_str()), ENOENT);
}

}  // namespace
