#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "TraceNames.h"

class CommMessage;
class UnitPort;

// The library's one service object: routes each request to its method handler and keeps the
// port between requests.
class CommService {
public:
    static constexpr const char* kTraceName = tracename::kLibrary;

    CommService();
    // Closes a port that is still held, as Close would: left open it would stay held, and
    // unreachable, until the process ends.
    virtual ~CommService();
    CommService(const CommService&) = delete;
    CommService& operator=(const CommService&) = delete;

    // Request text in, response text out; empty for a method other than the three.
    std::string dispatch(std::string_view request);

    bool holdsPort() const { return port_ != nullptr; }

private:
    using Handler = std::string (CommService::*)(CommMessage&);
    struct Method {
        const char* name;
        Handler handler;
    };

    std::string handleOpen(CommMessage& request);
    std::string handleClose(CommMessage& request);
    std::string handleCommand(CommMessage& request);
    void releasePort();

    std::unique_ptr<UnitPort> port_;
    const std::array<Method, 3> methods_;
};
