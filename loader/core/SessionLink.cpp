#include "core/SessionLink.h"

#include "core/DialogCore.h"

// Here rather than in DialogCore.cpp, so that a core given its own link needs no session.
DialogCore::DialogCore(OperatorFeedback& feedback, WindowPoster& window, std::string libraryFile)
    : DialogCore(feedback, window, std::make_unique<SessionLink>(std::move(libraryFile)), nullptr) {}

bool SessionLink::connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) {
    return session_.connect(window, portName, baudRate);
}
bool SessionLink::isConnected() const { return session_.isConnected(); }
void SessionLink::disablePolling() { session_.disablePolling(); }
void SessionLink::disconnect() { session_.disconnect(); }
void SessionLink::requestStatus() { session_.requestStatus(); }
void SessionLink::retryStatus() { session_.retryStatus(); }
void SessionLink::sendStartDownload() { session_.sendStartDownload(); }
void SessionLink::sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) {
    session_.sendWriteBlock(offset, data);
}
void SessionLink::sendVerify(const std::array<std::uint8_t, 6>& record) { session_.sendVerify(record); }
void SessionLink::sendAck() { session_.sendAck(); }
void SessionLink::sendVersionRequest() { session_.sendVersionRequest(); }
