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
#include <functional>
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
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
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

    // The exit status of a listener that ends by itself; -1 when it is still running after its
    // output has closed (bounded by line()) and five seconds more.
    int ended() {
        while (!line().empty()) {
        }
        // Output closes a moment before the process can be reaped.
        endsWithin(5000);
        int status = -1;
        if (::waitpid(child_, &status, WNOHANG) != child_) return -1;
        child_ = -1;
        return status;
    }

    // The listener's exit status after `sig`; -1 when it has not ended ten seconds later (it is
    // then killed, so a lost stop request fails the test instead of hanging it).
    int stop(int sig) {
        ::kill(child_, sig);
        if (!endsWithin(10000)) return -1;
        int status = -1;
        ::waitpid(child_, &status, 0);
        child_ = -1;
        return status;
    }

    // Whether the child has ended (not yet reaped) within the time given.
    bool endsWithin(int milliseconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(child_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
            if (info.si_pid == child_) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            ::usleep(10000);
        }
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

// Traces may carry firmware bytes: the listener makes its mailslots only in a directory of this
// user's that nobody else can enter, and says why it will not.
TEST_F(TraceListen, RefusesADirectoryOthersCouldReach) {
    const std::string dir = platform::mailslotDirectory(true);
    ASSERT_FALSE(dir.empty());
    struct Case {
        const char* what;
        std::function<bool()> spoil;
    };
    const std::vector<Case> cases = {
        {"open to others", [&] { return ::chmod(dir.c_str(), 0755) == 0; }},
        {"open to the group", [&] { return ::chmod(dir.c_str(), 0770) == 0; }},
        // Only root may give a directory away.
        {"owned by another user", [&] { return ::chown(dir.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) == 0; }},
        {"a link to a private directory",
         [&] {
             const std::string real = runtimeDir_ + "/elsewhere";
             return ::rename(dir.c_str(), real.c_str()) == 0 && ::symlink(real.c_str(), dir.c_str()) == 0;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(runtimeDir_ + "/elsewhere");
        std::filesystem::remove_all(dir);
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        if (!c.spoil()) continue;
        start({});
        const std::string said = line();
        EXPECT_NE(said.find("cannot create mailslot DebugComm_px417: no private mailslot directory"), std::string::npos)
            << said;
        const int status = ended();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::canonical(dir)));
        ::close(out_);
        out_ = -1;
        buffer_.clear();
    }
}

// A listener killed outright leaves its socket behind; the next one takes it over, while a live
// one keeps its mailslot against a second listener.
TEST_F(TraceListen, TakesOverTheSocketOfACrashedListenerButNotOfALiveOne) {
    start({});
    ASSERT_EQ(line().rfind("listening on DebugComm_px417", 0), 0u);
    stop(SIGKILL);
    ::close(out_);
    out_ = -1;
    const std::string socket = platform::mailslotDirectory(false) + "/DebugComm_px417";
    ASSERT_TRUE(std::filesystem::is_socket(socket));
    MailslotTrace stale;
    EXPECT_FALSE(stale.open("DebugComm_px417"));  // nobody reads there

    start({});
    ASSERT_EQ(line().rfind("listening on DebugComm_px417", 0), 0u);
    MailslotTrace::line("DebugComm_px417", "after the crash");
    EXPECT_EQ(message(), "DebugComm_px417 [15] after the crash");

    const pid_t live = child_;
    const int liveOut = out_;
    std::string liveBuffer;
    std::swap(liveBuffer, buffer_);
    start({});
    EXPECT_NE(line().find("another listener already has this mailslot"), std::string::npos);
    const int status = ended();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ::close(out_);
    child_ = live;
    out_ = liveOut;
    buffer_ = liveBuffer;
    MailslotTrace::line("DebugComm_px417", "still here");
    EXPECT_EQ(message(), "DebugComm_px417 [10] still here");
}

}  // namespace
