#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "session/CommWorker.h"

// The one way the window and the sequences reach the unit: connection orders and the senders of
// the unit's command frames (built by UnitFrames, without check bytes; px417 appends them).
class UnitSession {
public:
    // `libraryFile` empty: the library beside the running program.
    explicit UnitSession(std::string libraryFile = {}) : libraryFile_(std::move(libraryFile)) {}
    ~UnitSession() { destroy(); }
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    bool connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate);
    void enablePolling();
    void disablePolling();
    void disconnect();
    bool isConnected() const;
    void destroy();

    // One status request, at once; its reply comes as StatusUpdate (Alarm on failure).
    void requestStatus();
    // The same, repeating a request whose reply counted against a retry limit: it goes out no
    // sooner than CommWorker::kRetryPause after that reply arrived.
    void retryStatus();
    void sendStartDownload();
    void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data);
    void sendVerify(const std::array<std::uint8_t, 6>& record);
    void sendAck();
    void sendVersionRequest();

private:
    void post(const ByteBuffer& frame);

    std::string libraryFile_;
    std::unique_ptr<CommWorker> worker_;
};
