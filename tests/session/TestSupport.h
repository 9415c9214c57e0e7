#pragma once

#include "TempDir.h"

// Helpers shared by the session tests: private temporary directories, a private mailslot
// directory per test, and a bounded collector of trace messages.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Messages.h"
#include "platform/Mailslot.h"

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

private:
    platform::MailslotListener listener_;
    std::vector<std::string> messages_;
};

inline std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Takes window messages until one with `id` arrives (others are kept in `skipped`).
inline bool waitForMessage(MessageQueue& queue, MessageId id, Message& out,
                           std::chrono::milliseconds limit = std::chrono::seconds(5),
                           std::vector<Message>* skipped = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        Message m;
        if (!queue.waitAndTake(m, left)) return false;
        if (m.id == id) {
            out = std::move(m);
            return true;
        }
        if (skipped) skipped->push_back(std::move(m));
    }
}
