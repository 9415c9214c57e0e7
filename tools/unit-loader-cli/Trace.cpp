#include "Trace.h"

#include "Console.h"
#include "TraceNames.h"
#include "TraceSlot.h"
#include "Visible.h"

namespace {
const char* const kNames[] = {tracename::kLibrary, tracename::kLoader};
}  // namespace

TraceListener::TraceListener() = default;

TraceListener::~TraceListener() { stop(); }

bool TraceListener::openSlots() {
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
    return !slots_.empty();
}

void TraceListener::print(const Slot& slot, const std::string& message) {
    Console::instance().line(traceTimeStamp() + " " + slot.name + " [" + std::to_string(message.size()) + "] " +
                             visibleText(message));
}

void TraceListener::drain(Slot& slot) {
    using R = platform::MailslotListener::Receive;
    std::string message;
    while (slot.listener.receive(message, std::chrono::milliseconds(0)) == R::Message) print(slot, message);
}
