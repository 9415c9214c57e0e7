#pragma once

#include <string>
#include <string_view>

#include "platform/Mailslot.h"

// Writer side of a trace mailslot. Callers open, write one line and close each time,
// so a listener can come and go while the program runs.
class MailslotTrace {
public:
    MailslotTrace() = default;
    ~MailslotTrace() { close(); }
    MailslotTrace(const MailslotTrace&) = delete;
    MailslotTrace& operator=(const MailslotTrace&) = delete;

    bool open(const std::string& name);
    bool write(std::string_view text);
    void close();

    // open, write, close: the whole life of one trace line. Silent without a listener.
    static void line(const std::string& name, std::string_view text);

private:
    platform::MailslotHandle handle_ = platform::kNoMailslot;
};
