#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"

class WindowPoster;

// The requests the download and version-check sequences make of the unit. The dialog core
// drives a real UnitSession through SessionLink; the engine's own tests use a recorder.
class UnitLink {
public:
    virtual ~UnitLink() = default;
    virtual bool connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) = 0;
    virtual bool isConnected() const = 0;
    virtual void disablePolling() = 0;
    virtual void disconnect() = 0;
    // A status request, at once.
    virtual void requestStatus() = 0;
    // A status request that repeats a state's request after a reply that counted against its
    // retry limit. It keeps a short pause after that reply, so that a limit of so many replies
    // also covers the time the unit was designed to be given.
    virtual void retryStatus() = 0;
    virtual void sendStartDownload() = 0;
    virtual void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) = 0;
    virtual void sendVerify(const std::array<std::uint8_t, 6>& record) = 0;
    virtual void sendAck() = 0;
    virtual void sendVersionRequest() = 0;
};
