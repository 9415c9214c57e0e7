// A stand-in for px417 that answers from a script, for the outcomes the real library cannot
// produce (malformed status lines, failures without a code). Built for the tests only.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "platform/GlobalMemory.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex mutex;
std::deque<std::string> script;
int requests = 0;
const char* kDefault = "COMM_PX417/1.0 200 OK\r\nArgument0: 5\r\nArgument1: /AUa9Og=\r\n\r\n";
}  // namespace

FAKE_EXPORT void fake_push_response(const char* text) {
    std::lock_guard lock(mutex);
    script.emplace_back(text);
}

// A response of `size` bytes that may hold NUL bytes.
FAKE_EXPORT void fake_push_response_bytes(const char* data, int size) {
    std::lock_guard lock(mutex);
    script.emplace_back(data, static_cast<std::size_t>(size));
}

FAKE_EXPORT int fake_request_count() {
    std::lock_guard lock(mutex);
    return requests;
}

FAKE_EXPORT bool load() {
    const char* result = std::getenv("FAKE_PX417_LOAD");
    return !(result && std::strcmp(result, "0") == 0);
}

FAKE_EXPORT char* request(char* block, int* length) {
    const bool isOpen = std::strstr(block, "Method: Open") != nullptr;
    platform::globalFree(block);
    std::string reply;
    const char* openReply = std::getenv("FAKE_PX417_OPEN");
    if (isOpen && openReply) {
        reply = openReply;
    } else {
        std::lock_guard lock(mutex);
        ++requests;
        if (script.empty()) {
            reply = kDefault;
        } else {
            reply = script.front();
            script.pop_front();
        }
    }
    char* out = platform::globalAlloc(reply.size() + 1);
    std::memcpy(out, reply.data(), reply.size());
    *length = static_cast<int>(reply.size());
    return out;
}

#ifndef FAKE_NO_UNLOAD
FAKE_EXPORT unsigned char unload() { return 1; }
#endif
