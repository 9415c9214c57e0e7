#pragma once

#include <string>

#include "Trace.h"
#include "platform/Mailslot.h"

// One trace mailslot being listened on; shared by the listener's common and platform parts.
struct TraceListener::Slot {
    std::string name;
    platform::MailslotListener listener;
};
