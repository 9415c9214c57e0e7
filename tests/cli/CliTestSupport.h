#pragma once

// Runs the built programs as child processes with bounded waits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Crc16.h"
#include "TempDir.h"
#include "TestBytes.h"

extern char** environ;

namespace clitest {

using namespace std::chrono_literals;

struct Finished {
    bool exited = false;  // false: killed after the deadline, or ended by a signal
    int code = -1;        // exit code, or the signal number when !exited
    bool timedOut = false;
    pid_t pid = -1;
    std::string out;
    std::string err;
};

// A program running with its standard output and error on pipes. The destructor kills and
// reaps it if nobody waited for it, so a failing test leaves no process behind.
class Process {
public:
    // `ownGroup`: in a process group of its own, as a terminal's foreground job, so that
    // signalGroup() reaches it and every process it starts, as Ctrl-C does.
    explicit Process(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
                     bool ownGroup = false) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        // `extraEnv` entries (NAME=value) replace the inherited ones of the same name.
        std::vector<std::string> env = extraEnv;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (const auto& x : extraEnv) replaced = replaced || x.rfind(name, 0) == 0;
            if (!replaced) env.push_back(entry);
        }
        std::vector<char*> argv, envp;
        std::vector<std::string> argsCopy = args;
        for (auto& a : argsCopy) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        if (ownGroup) {
            posix_spawnattr_setpgroup(&attr, 0);
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        }
        const int r = ::posix_spawn(&pid_, argsCopy[0].c_str(), &actions, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        if (r != 0) {
            pid_ = -1;
            throw std::runtime_error("posix_spawn " + argsCopy[0]);
        }
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        for (int fd : {outFd_, errFd_})
            if (fd >= 0) ::close(fd);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // The whole group of a process started with `ownGroup`.
    void signalGroup(int sig) const {
        if (pid_ > 0) ::kill(-pid_, sig);
    }

    // Appends what the program has written to standard output within `limit` (returning at the
    // first bytes); false once that output has ended. Standard error is kept for finish().
    bool readOut(std::string& into, std::chrono::milliseconds limit) {
        if (outFd_ < 0) return false;
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(limit.count())) <= 0) return true;
        drain(errFd_, fds[1].revents, err_);
        drain(outFd_, fds[0].revents, into);
        return outFd_ >= 0;
    }

    // Reads both pipes until the program closes them and reaps it, all within `limit`;
    // past it the program is killed (and reaped) and timedOut is set.
    Finished finish(std::chrono::milliseconds limit) {
        Finished f;
        f.pid = pid_;
        f.err = err_;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        auto left = [&] {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            return static_cast<int>(std::max<long long>(0, ms.count()));
        };
        while (outFd_ >= 0 || errFd_ >= 0) {
            pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
            const int r = ::poll(fds, 2, left());
            if (r == 0) break;
            if (r < 0) continue;
            drain(outFd_, fds[0].revents, f.out);
            drain(errFd_, fds[1].revents, f.err);
        }
        // Both pipes closed: the program is exiting. A pidfd bounds the wait for it.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, left());
            ::close(pidfd);
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) {
            f.timedOut = true;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        f.exited = WIFEXITED(status);
        f.code = f.exited ? WEXITSTATUS(status) : WTERMSIG(status);
        return f;
    }

private:
    static void drain(int& fd, short revents, std::string& into) {
        if (fd < 0 || !revents) return;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    std::string err_;
    int outFd_ = -1;
    int errFd_ = -1;
};

inline Finished run(const std::vector<std::string>& args, std::chrono::milliseconds limit = 30s) {
    Process p(args);
    return p.finish(limit);
}

// Where a run of `program` with process id `pid` writes its copy of the protocol library.
inline bool libraryLeftBehind(const std::string& program, pid_t pid) {
    const auto path = std::filesystem::path(program).parent_path() / ("px417." + std::to_string(pid) + ".so");
    return std::filesystem::exists(path);
}

}  // namespace clitest
