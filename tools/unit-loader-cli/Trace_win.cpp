#include "TraceSlot.h"

bool TraceListener::start() {
    if (!openSlots()) return false;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

// Mailslots have no descriptor to poll: each waits a short while in turn, and what arrives
// meanwhile stays queued in its slot.
void TraceListener::run() {
    using R = platform::MailslotListener::Receive;
    std::string message;
    while (!stopping_) {
        for (const auto& slot : slots_) {
            if (slot->listener.receive(message, std::chrono::milliseconds(50)) != R::Message) continue;
            print(*slot, message);
            drain(*slot);
        }
    }
    for (const auto& slot : slots_) drain(*slot);
}

void TraceListener::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    slots_.clear();
}
