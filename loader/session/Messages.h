#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

#include "ByteBuffer.h"

// The window system's registered messages (a stand-in of our own on Linux) and toolkit-free
// message queues. Numbers are handed out by name at run time, the same name always giving the
// same number.
using MessageId = std::uint32_t;

MessageId registerMessage(std::string_view name);

namespace msgname {
inline constexpr std::string_view kExitThread = "Orlo::PX417::Message::ExitThread";
inline constexpr std::string_view kEnableComm = "Orlo::PX417::Message::EnableComm";
inline constexpr std::string_view kDisableComm = "Orlo::PX417::Message::DisableComm";
inline constexpr std::string_view kCommand = "Orlo::PX417::Message::Command";
inline constexpr std::string_view kPolling = "Orlo::PX417::Message::Polling";
inline constexpr std::string_view kRetryPolling = "Orlo::PX417::Message::RetryPolling";
inline constexpr std::string_view kStatusUpdate = "Orlo::PX417::Message::StatusUpdate";
inline constexpr std::string_view kResponse = "Orlo::PX417::Message::Response";
inline constexpr std::string_view kAlarm = "Orlo::PX417::Message::Alarm";
inline constexpr std::string_view kSendCancel = "Orlo::DLG::Message::SENDCANCEL";
// The window's own: a chosen file has been read on its thread (no payload).
inline constexpr std::string_view kFileRead = "Orlo::DLG::Message::FILEREAD";
}  // namespace msgname

// A posted message. The buffer, when there is one, belongs to whoever holds the message.
// `detail` is a number that travels beside it: an Alarm's LinkError.
struct Message {
    MessageId id = 0;
    std::unique_ptr<ByteBuffer> payload;
    std::uint32_t detail = 0;
};

// FIFO between threads. Posting wakes a waiting taker at once; messages still queued when
// the queue goes away take their buffers with them.
class MessageQueue {
public:
    MessageQueue() = default;
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    bool post(MessageId id, std::unique_ptr<ByteBuffer> payload = nullptr, std::uint32_t detail = 0);
    // Removes the oldest message, if any, without waiting.
    bool take(Message& out);
    // Waits until a message is queued or `timeout` has passed; true when one is queued.
    bool waitFor(std::chrono::milliseconds timeout);
    // Waits until a message `id` is queued (behind others or not) or `deadline` has passed;
    // true when one is queued. Takes nothing.
    bool waitForId(MessageId id, std::chrono::steady_clock::time_point deadline);
    // take, waiting at most `timeout` for a message to arrive.
    bool waitAndTake(Message& out, std::chrono::milliseconds timeout);
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> queue_;
};

// Where the worker posts its replies: the window of whichever front is running (the Qt
// window, the command-line front, a test).
class WindowPoster {
public:
    virtual ~WindowPoster() = default;
    // Ownership of `payload` passes with the message, also when posting fails (it is freed).
    bool postMessage(MessageId id, std::unique_ptr<ByteBuffer> payload, std::uint32_t detail = 0) {
        return post(Message{id, std::move(payload), detail});
    }

protected:
    virtual bool post(Message message) = 0;
};

// A window stand-in that queues what is posted to it, for fronts that pump by hand.
class QueuedWindow : public WindowPoster {
public:
    MessageQueue& queue() { return queue_; }

protected:
    bool post(Message message) override { return queue_.post(message.id, std::move(message.payload), message.detail); }

private:
    MessageQueue queue_;
};
