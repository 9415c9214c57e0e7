#include <map>
#include <mutex>
#include <string>

#include "session/Messages.h"

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
