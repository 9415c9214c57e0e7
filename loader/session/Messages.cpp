#include "Messages.h"

#include <algorithm>
#include <map>
#include <string>

MessageId registerMessage(std::string_view name) {
    // Numbers start where the window system's registered ones do, to keep clear of fixed ones.
    static std::mutex mutex;
    static std::map<std::string, MessageId, std::less<>> numbers;
    std::lock_guard lock(mutex);
    auto it = numbers.find(name);
    if (it != numbers.end()) return it->second;
    const MessageId id = 0xC000 + static_cast<MessageId>(numbers.size());
    numbers.emplace(std::string(name), id);
    return id;
}

bool MessageQueue::post(MessageId id, std::unique_ptr<ByteBuffer> payload) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(Message{id, std::move(payload)});
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
