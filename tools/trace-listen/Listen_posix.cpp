#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Listen.h"

// SIGINT, SIGTERM and SIGHUP wake the poll loop through a pipe.
namespace {

int wakePipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char b = 1;
    (void)!::write(wakePipe[1], &b, 1);
    errno = saved;
}

}  // namespace

bool catchStopRequests() {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
    return true;
}

bool listenUntilStopped(const std::vector<std::unique_ptr<Slot>>& slots,
                        const std::function<void(const Slot&, const std::string&)>& print) {
    std::vector<pollfd> fds;
    fds.push_back({wakePipe[0], POLLIN, 0});
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
