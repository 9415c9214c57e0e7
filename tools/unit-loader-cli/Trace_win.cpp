#include <cstdio>

#include "Console.h"
#include "Trace.h"
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
    stopping_ = false;
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

// Mailslots have no descriptor to poll: each waits a short while in turn, and what arrives
// meanwhile stays queued in its slot.
void TraceListener::run() {
    using R = platform::MailslotListener::Receive;
    std::string message;
    while (!stopping_) {
        for (const auto& slot : slots_) {
            if (slot->listener.receive(message, std::chrono::milliseconds(50)) != R::Message) continue;
            Console::instance().line(traceTimeStamp() + " " + slot->name + " [" + std::to_string(message.size()) +
                                     "] " + visibleText(message));
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
