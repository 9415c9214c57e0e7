#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "Messages.h"

class UnitSession;

// The requests the download and version-check sequences make of the unit. The dialog core
// drives a real UnitSession through SessionLink; the sequencer's own tests use a recorder.
class UnitLink {
public:
    virtual ~UnitLink() = default;
    virtual bool connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) = 0;
    virtual bool isConnected() const = 0;
    virtual void disablePolling() = 0;
    virtual void disconnect() = 0;
    virtual void requestStatus() = 0;
    virtual void sendStartDownload() = 0;
    virtual void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) = 0;
    virtual void sendVerify(const std::array<std::uint8_t, 6>& record) = 0;
    virtual void sendAck() = 0;
    virtual void sendVersionRequest() = 0;
};

class SessionLink : public UnitLink {
public:
    explicit SessionLink(UnitSession& session) : session_(session) {}
    bool connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) override;
    bool isConnected() const override;
    void disablePolling() override;
    void disconnect() override;
    void requestStatus() override;
    void sendStartDownload() override;
    void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) override;
    void sendVerify(const std::array<std::uint8_t, 6>& record) override;
    void sendAck() override;
    void sendVersionRequest() override;

private:
    UnitSession& session_;
};
