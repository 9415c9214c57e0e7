#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "CommWorker.h"

// The one way the window and the sequences reach the unit: connection orders, the unit's
// command frames (without check bytes; px417 appends them) and tests on reply bytes.
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

    void requestStatus();
    void sendStartDownload();
    void sendWriteBlock(std::uint32_t offset, const ByteBuffer& data);
    void sendVerify(const std::array<std::uint8_t, 6>& record);
    void sendAck();
    void sendVersionRequest();

    static ByteBuffer statusRequestFrame();
    static ByteBuffer startDownloadFrame();
    static ByteBuffer writeBlockFrame(std::uint32_t offset, const ByteBuffer& data);
    static ByteBuffer verifyFrame(const std::array<std::uint8_t, 6>& record);
    static ByteBuffer ackFrame();
    static ByteBuffer versionRequestFrame();

    // Reply tests; each is false for a reply too short to hold the bytes it reads.
    static bool isAck(const ByteBuffer& reply) { return code(reply, 0x50); }
    static bool isDisable(const ByteBuffer& reply) { return code(reply, 0x1A); }
    static bool isReady(const ByteBuffer& reply) { return codeAndData(reply, 0xD4, 0x00); }
    static bool isBusy(const ByteBuffer& reply) { return codeAndData(reply, 0xD4, 0x80); }
    static bool isResult00(const ByteBuffer& reply) { return codeAndData(reply, 0xD3, 0x00); }
    static bool isResult80(const ByteBuffer& reply) { return codeAndData(reply, 0xD3, 0x80); }
    static bool isVersion(const ByteBuffer& reply) { return code(reply, 0x84); }

private:
    static bool code(const ByteBuffer& r, std::uint8_t c) { return r.size() > 2 && r[2] == c; }
    static bool codeAndData(const ByteBuffer& r, std::uint8_t c, std::uint8_t d) {
        return r.size() > 3 && r[2] == c && r[3] == d;
    }
    void post(const ByteBuffer& frame);

    std::string libraryFile_;
    std::unique_ptr<CommWorker> worker_;
};
