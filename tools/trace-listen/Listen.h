#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mailslot.h"

struct Slot {
    std::string name;
    platform::MailslotListener listener;
};

// Sets up the stop requests of this platform (Ctrl-C and its kin); false when it cannot.
bool catchStopRequests();
// Hands every message that arrives on any slot to `print` until a stop request comes.
// False when waiting failed.
bool listenUntilStopped(const std::vector<std::unique_ptr<Slot>>& slots,
                        const std::function<void(const Slot&, const std::string&)>& print);
