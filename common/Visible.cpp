#include "Visible.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

std::string visibleText(std::string_view message) {
    if (message.empty()) return "(empty)";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(message.size());
    for (char c : message) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (b < 0x20 || b >= 0x7F) {
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string traceTimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    tm local{};
    {
        // The C library's one broken-down time is shared; copy it out under a lock.
        static std::mutex mutex;
        std::lock_guard lock(mutex);
        if (const tm* t = std::localtime(&seconds)) local = *t;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}
