#pragma once

#include <string>

#include "download/UnitLink.h"
#include "session/UnitSession.h"

// The engine's link to the unit through a real session: the worker thread and the px417
// library written out beforehand.
class SessionLink : public UnitLink {
public:
    // `libraryFile` empty: the library beside the running program.
    explicit SessionLink(std::string libraryFile = {}) : session_(std::move(libraryFile)) {}
    bool connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) override;
    bool isConnected() const override;
    void disablePolling() override;
    void disconnect() override;
    void requestStatus() override;
    void retryStatus() override;
    void sendStartDownload() override;
    void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) override;
    void sendVerify(const std::array<std::uint8_t, 6>& record) override;
    void sendAck() override;
    void sendVersionRequest() override;

private:
    UnitSession session_;
};
