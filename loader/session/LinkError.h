#pragma once

#include <cstdint>
#include <string_view>

// Why one exchange with the unit failed, as px417 told it. An Alarm carries one; the run report
// keeps the last. The worker and the window pass it as a number (the Win32 window in wParam).
enum class LinkError : std::uint32_t {
    None = 0,
    NoReply = 1,       // px417's 102: no byte in time, or the reply was cut short
    BadCheckCode = 2,  // 105: a whole frame whose check code is wrong
    SendFailed = 3,    // 107: the frame could not be written
    NotOpen = 4,       // 401, or no library: the request never reached a port
    Malformed = 5,     // a response the loader cannot read (no status, unknown code, bad length)
};

// "no reply", "bad check code", ...: the words the reports use.
constexpr std::string_view linkErrorName(LinkError error) {
    switch (error) {
    case LinkError::None: return "none";
    case LinkError::NoReply: return "no reply";
    case LinkError::BadCheckCode: return "bad check code";
    case LinkError::SendFailed: return "send failed";
    case LinkError::NotOpen: return "not open";
    case LinkError::Malformed: return "malformed response";
    }
    return "malformed response";
}

// A number that came with a message, as the error it stands for.
constexpr LinkError linkErrorOf(std::uint32_t value) {
    return value <= static_cast<std::uint32_t>(LinkError::Malformed) ? static_cast<LinkError>(value)
                                                                     : LinkError::Malformed;
}
