// The trace listener program, run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "MailslotTrace.h"
#include "platform/Mailslot.h"

extern char** environ;

namespace {

using namespace std::string_literals;

class TraceListen : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/trace-listen-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        runtimeDir_ = dir;
        ::setenv("XDG_RUNTIME_DIR", dir, 1);
    }

    void TearDown() override {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
    }

    void start(std::vector<std::string> args) {
        int pipeFds[2];
        ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        args.insert(args.begin(), TRACE_LISTEN_PROGRAM);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(::posix_spawn(&child_, TRACE_LISTEN_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }

    // The next line the listener prints; empty at end of output or after five seconds.
    std::string line() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string l = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return l;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char buf[512];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) return {};
            buffer_.append(buf, static_cast<std::size_t>(n));
        }
    }

    // The line without its time stamp.
    std::string message() {
        std::string l = line();
        auto space = l.find(' ');
        return space == std::string::npos ? "<" + l + ">" : l.substr(space + 1);
    }

    int stop(int sig) {
        ::kill(child_, sig);
        int status = -1;
        ::waitpid(child_, &status, 0);
        child_ = -1;
        return status;
    }

    std::string runtimeDir_;
    pid_t child_ = -1;
    int out_ = -1;
    std::string buffer_;
};

TEST_F(TraceListen, PrintsMessagesAndCleansUp) {
    start({"DebugComm_px417", "Debug_VSK_DOWNLOAD"});
    ASSERT_EQ(line().rfind("listening on DebugComm_px417", 0), 0u);
    ASSERT_EQ(line().rfind("listening on Debug_VSK_DOWNLOAD", 0), 0u);

    MailslotTrace::line("DebugComm_px417", "COMM_PX417/1.0\r\nMethod: Close\r\n\r\n");
    MailslotTrace::line("DebugComm_px417", "");
    EXPECT_EQ(message(), "DebugComm_px417 [33] COMM_PX417/1.0\\r\\nMethod: Close\\r\\n\\r\\n");
    EXPECT_EQ(message(), "DebugComm_px417 [0] (empty)");
    // Only one mailslot at a time: there is no order between two of them.
    MailslotTrace::line("Debug_VSK_DOWNLOAD", "a\tb\\c\x01\x7f\xfc\0z"s);
    EXPECT_EQ(message(), "Debug_VSK_DOWNLOAD [10] a\\tb\\\\c\\x01\\x7F\\xFC\\x00z");

    const int status = stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The mailslots are gone: a writer finds no listener.
    MailslotTrace trace;
    EXPECT_FALSE(trace.open("DebugComm_px417"));
    EXPECT_TRUE(std::filesystem::is_empty(platform::mailslotDirectory(false)));
}

TEST_F(TraceListen, CtrlCAlsoCleansUp) {
    start({});
    ASSERT_EQ(line().rfind("listening on DebugComm_px417", 0), 0u);
    const int status = stop(SIGINT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(std::filesystem::is_empty(platform::mailslotDirectory(false)));
}

}  // namespace
