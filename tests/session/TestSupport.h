#pragma once

// Helpers shared by the session tests: a private mailslot directory per test and a bounded
// collector of trace messages.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestBytes.h"
#include "platform/Mailslot.h"
#include "session/Messages.h"

// Gives the test its own mailslot directory so parallel test processes never share a listener.
class PrivateMailslots {
public:
    PrivateMailslots() { ::setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1); }
    ~PrivateMailslots() { ::unsetenv("XDG_RUNTIME_DIR"); }

private:
    TempDir dir_;
};

class TraceCapture {
public:
    explicit TraceCapture(const std::string& name) {
        std::string error;
        if (!listener_.create(name, &error)) ADD_FAILURE() << "cannot listen on " << name << ": " << error;
    }
    // Collects until `count` messages have arrived or `limit` has passed.
    std::vector<std::string> take(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (messages_.size() < count) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            std::string msg;
            if (listener_.receive(msg, left) != platform::MailslotListener::Receive::Message) break;
            messages_.push_back(msg);
        }
        std::vector<std::string> out;
        out.swap(messages_);
        return out;
    }
    // What has already arrived, without waiting: once the writer has returned, its messages are
    // all there.
    std::vector<std::string> arrived() {
        std::vector<std::string> out;
        std::string msg;
        while (listener_.receive(msg, std::chrono::milliseconds(0)) == platform::MailslotListener::Receive::Message)
            out.push_back(msg);
        return out;
    }

private:
    platform::MailslotListener listener_;
    std::vector<std::string> messages_;
};
