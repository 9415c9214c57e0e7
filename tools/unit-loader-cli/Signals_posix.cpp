#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "Signals.h"
#include "units/ChildProcess.h"

namespace signals {

namespace {
int pipeFds[2] = {-1, -1};
std::atomic<int> first{0};
std::atomic<int> parentGot{0};  // the signal the parent got, when it passed one on
std::atomic<bool> atOnce{false};
std::atomic<pid_t> parent{0};
// Read by the handler: fixed storage, filled before it can matter.
char removePath[4096];
std::atomic<bool> haveRemovePath{false};
std::array<std::atomic<pid_t>, 1024> children{};
std::atomic<std::size_t> childCount{0};

void say(const char* text) { (void)!::write(STDERR_FILENO, text, std::strlen(text)); }

// Only async-signal-safe calls from here on.
[[noreturn]] void endNow(int sig, bool second) {
    const std::size_t count = std::min(childCount.load(), children.size());
    for (std::size_t i = 0; i < count; ++i)
        if (const pid_t pid = children[i].load(); pid > 0) ::kill(pid, SIGKILL);
    if (haveRemovePath.load()) ::unlink(removePath);
    say("\nunit-loader-cli: ");
    say(name(sig));
    say(second ? ", a second stop request" : " while the session was being closed");
    say(": ended at once without waiting for the exchange in progress; the port was released by exiting.\n");
    ::_exit(130);
}

void onSignal(int sig, siginfo_t* info, void*) {
    const int saved = errno;
    const pid_t from = parent.load();
    const bool passedOn = from > 0 && info && info->si_pid == from && sig == SIGTERM;
    if (passedOn && info->si_code == SI_QUEUE) {
        int none = 0;
        parentGot.compare_exchange_strong(none, info->si_value.sival_int);
    }
    int expected = 0;
    const bool isFirst = first.compare_exchange_strong(expected, sig);
    if (atOnce.load()) endNow(sig, false);
    if (!isFirst && !passedOn) endNow(sig, true);
    const char byte = static_cast<char>(sig);
    (void)!::write(pipeFds[1], &byte, 1);
    errno = saved;
}
}  // namespace

bool install() {
    if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);  // the terminal went away: clean up all the same
    std::signal(SIGPIPE, SIG_IGN);
    // The units' processes are ended with this one at once, and wake a wait on a stop request
    // (units/ChildProcess.h).
    units::installProcessHooks({&addChild, &removeChild, &fd, &event});
    return true;
}

int fd() { return pipeFds[0]; }

void* event() { return nullptr; }

int caught() { return first.load(); }

const char* name(int sig) { return sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "SIGINT"; }

std::string cause() {
    const int got = parentGot.load();
    if (got != 0 && first.load() == SIGTERM) return std::string("because unit-loader-cli got ") + name(got);
    return std::string("by ") + name(first.load());
}

void drain() {
    char buffer[64];
    while (pipeFds[0] >= 0 && ::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
}

void sessionClosed() {}

void setClosing(bool closing) { atOnce = closing; }

void removeWhenEndedAtOnce(const std::string& path) {
    haveRemovePath = false;
    if (path.empty() || path.size() >= sizeof removePath) return;
    std::memcpy(removePath, path.c_str(), path.size() + 1);
    haveRemovePath = true;
}

void addChild(int pid) {
    // Slots of reaped children are taken again, so a long-running station keeps every live one
    // and never signals a number the system has handed to another process since.
    for (std::size_t i = 0; i < children.size(); ++i) {
        pid_t free = 0;
        if (children[i].compare_exchange_strong(free, pid)) {
            std::size_t count = childCount.load();
            while (count < i + 1 && !childCount.compare_exchange_weak(count, i + 1)) {
            }
            return;
        }
    }
    // Beyond them, children still end with their parent (see watchParent).
}

void removeChild(int pid) {
    for (std::size_t i = 0; i < std::min(childCount.load(), children.size()); ++i) {
        pid_t was = pid;
        if (children[i].compare_exchange_strong(was, 0)) return;
    }
}

void setParent(int pid) { parent = pid; }

// The parent's stop arrives as a signal here (see onSignal).
void stopFromParent(int) {}

}  // namespace signals
