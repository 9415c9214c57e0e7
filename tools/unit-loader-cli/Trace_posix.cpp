#include "Trace.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Console.h"
#include "MailslotTrace.h"
#include "Visible.h"
#include "platform/Mailslot.h"

namespace {
const char* const kNames[] = {"DebugComm_px417", "Debug_VSK_DOWNLOAD"};

}  // namespace

struct TraceListener::Slot {
    std::string name;
    platform::MailslotListener listener;
};

TraceListener::TraceListener() = default;

TraceListener::~TraceListener() { stop(); }

bool TraceListener::start() {
    for (const char* name : kNames) {
        auto slot = std::make_unique<Slot>();
        slot->name = name;
        std::string error;
        if (!slot->listener.create(name, &error)) {
            Console::instance().line(std::string("unit-loader-cli: no trace of ") + name + ": " + error);
            continue;
        }
        slots_.push_back(std::move(slot));
    }
    if (slots_.empty()) return false;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        slots_.clear();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void TraceListener::drain(Slot& slot) {
    using R = platform::MailslotListener::Receive;
    std::string message;
    while (slot.listener.receive(message, std::chrono::milliseconds(0)) == R::Message)
        Console::instance().line(traceTimeStamp() + " " + slot.name + " [" + std::to_string(message.size()) + "] " +
                                 visibleText(message));
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
