#include "Trace.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "TraceSlot.h"

bool TraceListener::start() {
    if (!openSlots()) return false;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        slots_.clear();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void TraceListener::run() {
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    for (const auto& slot : slots_) fds.push_back({slot->listener.pollHandle(), POLLIN, 0});
    for (;;) {
        const int r = ::poll(fds.data(), fds.size(), -1);
        if (r < 0 && errno != EINTR) break;
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents) drain(*slots_[i - 1]);
        if (fds[0].revents) break;
    }
    for (const auto& slot : slots_) drain(*slot);
}

void TraceListener::stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        (void)!::write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    slots_.clear();
}
