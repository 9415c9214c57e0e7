#include "session/Messages.h"

#include <algorithm>

bool MessageQueue::post(MessageId id, std::unique_ptr<ByteBuffer> payload, std::uint32_t detail) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(Message{id, std::move(payload), detail});
    }
    ready_.notify_all();
    return true;
}

bool MessageQueue::take(Message& out) {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

bool MessageQueue::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
}

bool MessageQueue::waitForId(MessageId id, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return ready_.wait_until(lock, deadline, [&] {
        return std::any_of(queue_.begin(), queue_.end(), [id](const Message& m) { return m.id == id; });
    });
}

bool MessageQueue::waitAndTake(Message& out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

std::size_t MessageQueue::size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}
