#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "Doorbell.h"
#include "Signals.h"

Doorbell::Doorbell() : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Doorbell::~Doorbell() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void Doorbell::ring() {
    const std::uint64_t one = 1;
    (void)!::write(static_cast<int>(handle_), &one, sizeof one);
}

Doorbell::Wake Doorbell::wait(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{static_cast<int>(handle_), POLLIN, 0}, {signals::fd(), POLLIN, 0}};
    const int ready = ::poll(fds, signals::fd() >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (ready < 0) return errno == EINTR ? Wake::Timeout : Wake::Error;
    if (ready == 0) return Wake::Timeout;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count;
        (void)!::read(static_cast<int>(handle_), &count, sizeof count);
        return Wake::Rung;
    }
    return Wake::Stop;
}
