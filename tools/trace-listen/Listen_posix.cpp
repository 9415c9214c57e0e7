#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Listen.h"

// SIGINT, SIGTERM and SIGHUP are blocked and read from a signalfd in the same poll as the
// mailslots: no handler runs, so a stop request cannot slip in between a check and the wait
// (as a handler writing a wake-up pipe can, under some run-time checkers).
namespace {

int stopFd = -1;

}  // namespace

bool catchStopRequests() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) {
        std::perror("sigprocmask");
        return false;
    }
    stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::perror("signalfd");
        return false;
    }
    return true;
}

bool listenUntilStopped(const std::vector<std::unique_ptr<Slot>>& slots,
                        const std::function<void(const Slot&, const std::string&)>& print) {
    std::vector<pollfd> fds;
    fds.push_back({stopFd, POLLIN, 0});
    for (const auto& slot : slots) fds.push_back({slot->listener.pollHandle(), POLLIN, 0});

    for (;;) {
        int r = ::poll(fds.data(), fds.size(), -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            return false;
        }
        if (fds[0].revents) return true;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Slot& slot = *slots[i - 1];
            std::string message;
            using R = platform::MailslotListener::Receive;
            if (slot.listener.receive(message, std::chrono::milliseconds(0)) != R::Message) continue;
            print(slot, message);
        }
    }
}
