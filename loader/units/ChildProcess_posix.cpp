#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "units/ChildProcess.h"

extern char** environ;

namespace units {

namespace {
ProcessHooks hooks;
}  // namespace

void installProcessHooks(const ProcessHooks& installed) { hooks = installed; }
const ProcessHooks& processHooks() { return hooks; }

struct ChildProcess::Impl {
    pid_t pid = -1;
    int fd = -1;
    bool reaped = false;
    int status = 0;

    void closeOutput() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void reap() {
        if (pid <= 0 || reaped) return;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        reaped = true;
        if (hooks.reaped) hooks.reaped(pid);
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
    impl_->closeOutput();
    if (impl_->pid > 0 && !impl_->reaped) {
        ::kill(impl_->pid, SIGKILL);
        impl_->reap();
    }
}

bool ChildProcess::start(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argStore = args;
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // ignored here; the child decides for itself
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    // The child takes its option only from the process named here.
    const std::string mark = std::string(kUnitParentVariable) + "=";
    std::vector<std::string> env{mark + std::to_string(::getpid())};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind(mark, 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        errno = error;
        return false;
    }
    impl_->pid = pid;
    impl_->fd = fds[0];
    if (hooks.started) hooks.started(pid);
    return true;
}

bool ChildProcess::started() const { return impl_->pid > 0; }

bool ChildProcess::read(std::string& out) {
    if (impl_->fd < 0) return false;
    for (;;) {
        pollfd p{impl_->fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !p.revents) return true;
        char buffer[4096];
        const ssize_t n = ::read(impl_->fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            impl_->closeOutput();
            return false;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::outputEnded() const { return impl_->fd < 0; }

// The signal carries what this process got, for the child's text.
void ChildProcess::requestStop(int cause) {
    if (impl_->pid <= 0 || impl_->reaped) return;
    sigval value{};
    value.sival_int = cause;
    ::sigqueue(impl_->pid, SIGTERM, value);
}

void ChildProcess::terminate() {
    if (impl_->pid > 0 && !impl_->reaped) ::kill(impl_->pid, SIGTERM);
}

void ChildProcess::kill() {
    if (impl_->pid > 0 && !impl_->reaped) ::kill(impl_->pid, SIGKILL);
}

ChildProcess::Exit ChildProcess::wait() {
    Exit exit;
    if (impl_->pid <= 0) return exit;
    impl_->reap();
    const int status = impl_->status;
    if (WIFSIGNALED(status)) {
        exit.signal = WTERMSIG(status);
        exit.signalName = strsignal(*exit.signal);
        exit.stopSignal = *exit.signal == SIGINT || *exit.signal == SIGTERM || *exit.signal == SIGHUP;
    } else {
        exit.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return exit;
}

void waitForChildren(const std::vector<ChildProcess*>& children, std::chrono::milliseconds timeout, bool stopRequests) {
    std::vector<pollfd> fds{{stopRequests && hooks.stopFd ? hooks.stopFd() : -1, POLLIN, 0}};
    for (const ChildProcess* child : children) fds.push_back({child->impl_->fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(0, timeout.count())));
}

std::string startError() { return std::strerror(errno); }

std::string selfPath() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

}  // namespace units
