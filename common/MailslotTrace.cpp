#include "MailslotTrace.h"

bool MailslotTrace::open(const std::string& name) {
    close();
    handle_ = platform::mailslotOpen(name);
    return handle_ != platform::kNoMailslot;
}

bool MailslotTrace::write(std::string_view text) { return platform::mailslotWrite(handle_, text); }

void MailslotTrace::close() {
    if (handle_ != platform::kNoMailslot) {
        platform::mailslotClose(handle_);
        handle_ = platform::kNoMailslot;
    }
}

void MailslotTrace::line(const std::string& name, std::string_view text) {
    MailslotTrace trace;
    if (trace.open(name)) trace.write(text);
}
