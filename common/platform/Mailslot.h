#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Trace mailslots: a listener creates one by name; writers deliver whole messages to it.
namespace platform {

using MailslotHandle = std::intptr_t;
inline constexpr MailslotHandle kNoMailslot = -1;

// Connects to a listener's mailslot; kNoMailslot when there is none (not an error).
MailslotHandle mailslotOpen(const std::string& name);
// One message; an empty text is an empty message. Never blocks: a message the listener's
// queue cannot take at once is dropped (false).
bool mailslotWrite(MailslotHandle handle, std::string_view text);
void mailslotClose(MailslotHandle handle);

// Where mailslots of this user live (created 0700 when `create`); empty when unusable.
std::string mailslotDirectory(bool create);

// The receiving end: creates the mailslot, removes it again when destroyed.
class MailslotListener {
public:
    enum class Receive { Message, Timeout, Error };

    MailslotListener();
    ~MailslotListener();
    MailslotListener(const MailslotListener&) = delete;
    MailslotListener& operator=(const MailslotListener&) = delete;

    // False (with `error` set) when the mailslot cannot be created, e.g. another listener has it.
    bool create(const std::string& name, std::string* error = nullptr);
    Receive receive(std::string& message, std::chrono::milliseconds timeout);
    // A descriptor that becomes readable when a message waits (for poll loops); -1 when closed.
    int pollHandle() const;
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
