#include "Visible.h"

#include <time.h>

#include <cstdio>

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
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  now.tv_nsec / 1000000);
    return text;
}
