#pragma once

// Calls px417's request export as the loader does (a zero-filled block of n + 1 bytes, freed by
// the library; the response block freed here), for the fuzz targets that drive the library.
#include <cstring>
#include <string>
#include <string_view>

#include "CommMessage.h"
#include "FuzzCheck.h"
#include "platform/GlobalMemory.h"

extern "C" bool load();
extern "C" char* request(char* block, int* length);

namespace fuzzpx417 {

// Every response is a text of `length` bytes in a block of length + 1 whose last byte is 0.
inline std::string call(std::string_view text) {
    char* block = platform::globalAlloc(text.size() + 1);
    FUZZ_CHECK(block != nullptr);
    if (!text.empty()) std::memcpy(block, text.data(), text.size());
    int length = static_cast<int>(text.size());
    char* response = request(block, &length);
    FUZZ_CHECK(response != nullptr);
    FUZZ_CHECK(length >= 0);
    FUZZ_CHECK(response[length] == '\0');
    std::string out(response, static_cast<std::size_t>(length));
    platform::globalFree(response);
    return out;
}

// The library acts on the text up to its first NUL.
inline std::string_view seenText(std::string_view text) { return text.substr(0, text.find('\0')); }

inline std::string methodOf(std::string_view text) {
    CommMessage message;
    message.parse(seenText(text));
    return message.get("Method");
}

// An Open names a device that the library then opens and reconfigures; fuzzed names could reach
// this machine's own terminals. Open requests keep their fuzzed numbers but go to `port`.
inline std::string withPort(std::string_view text, const std::string& port) {
    CommMessage message;
    message.parse(seenText(text));
    if (message.get("Method") != "Open") return std::string(text);
    message["Argument0"] = port;
    return message.serialise();
}

inline std::string openRequest(const std::string& port) {
    CommMessage message(px417proto::kRequestLine);
    message["Method"] = "Open";
    message["Argument0"] = port;
    message["Argument1"] = "38400";
    message["Argument2"] = "8";
    return message.serialise();
}

// Empty, or a whole message with one of the library's three status lines.
inline CommMessage checkedResponse(const std::string& response) {
    CommMessage parsed;
    if (response.empty()) return parsed;
    parsed.parse(response);
    FUZZ_CHECK(parsed.startLine() == px417proto::kOkLine || parsed.startLine() == px417proto::kMemoryFailureLine ||
               parsed.startLine() == px417proto::kProtocolErrorLine);
    FUZZ_CHECK(response.size() >= 4 && response.compare(response.size() - 4, 4, "\r\n\r\n") == 0);
    return parsed;
}

}  // namespace fuzzpx417
