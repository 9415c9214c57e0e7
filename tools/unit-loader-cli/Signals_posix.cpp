#include "Signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace signals {

namespace {
int pipeFds[2] = {-1, -1};
std::atomic<int> first{0};

void onSignal(int sig) {
    const int saved = errno;
    int expected = 0;
    first.compare_exchange_strong(expected, sig);
    const char byte = static_cast<char>(sig);
    (void)!::write(pipeFds[1], &byte, 1);
    errno = saved;
}
}  // namespace

bool install() {
    if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);  // the terminal went away: clean up all the same
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int fd() { return pipeFds[0]; }

void* event() { return nullptr; }

int caught() { return first.load(); }

const char* name(int sig) { return sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "SIGINT"; }

void drain() {
    char buffer[64];
    while (pipeFds[0] >= 0 && ::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
}

}  // namespace signals
