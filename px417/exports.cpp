// The library's whole outer boundary. Nothing but text crosses it, and no exception does.
#include <cstring>
#include <string>

#include "CommService.h"
#include "platform/GlobalMemory.h"

// The version script (ELF) or the .def file (Windows) lets exactly these three out.
#if defined(_WIN32)
#define PX417_EXPORT extern "C"
#else
#define PX417_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

CommService* service = nullptr;

// A block of n + 1 bytes whose last byte is 0, so callers may read it as C text.
char* responseBlock(const std::string& text, int* length) {
    char* block = platform::globalAlloc(text.size() + 1);
    if (!block) {
        if (length) *length = 0;
        return nullptr;
    }
    std::memcpy(block, text.data(), text.size());
    if (length) *length = static_cast<int>(text.size());
    return block;
}

}  // namespace

PX417_EXPORT bool load() {
    if (service) return true;  // one service per binding; a repeated load keeps it
    try {
        service = new CommService();
        return true;
    } catch (...) {
        service = nullptr;
        return false;
    }
}

PX417_EXPORT char* request(char* block, int* length) {
    std::string text;
    try {
        if (block && length && *length > 0) {
            const auto limit = static_cast<std::size_t>(*length);
            const void* nul = std::memchr(block, 0, limit);
            text.assign(block, nul ? static_cast<const char*>(nul) - block : limit);
        }
    } catch (...) {
        text.clear();
    }
    // The caller's block is ours from here on; it goes before any work is done.
    platform::globalFree(block);

    std::string response;
    try {
        if (service) response = service->dispatch(text);
    } catch (...) {
        response.clear();
    }
    try {
        return responseBlock(response, length);
    } catch (...) {
        if (length) *length = 0;
        return nullptr;
    }
}

PX417_EXPORT unsigned char unload() {
    delete service;
    service = nullptr;
    return 1;
}
