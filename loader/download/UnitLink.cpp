#include "UnitLink.h"

#include "UnitSession.h"

bool SessionLink::connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) {
    return session_.connect(window, portName, baudRate);
}
bool SessionLink::isConnected() const { return session_.isConnected(); }
void SessionLink::disablePolling() { session_.disablePolling(); }
void SessionLink::disconnect() { session_.disconnect(); }
void SessionLink::requestStatus() { session_.requestStatus(); }
void SessionLink::sendStartDownload() { session_.sendStartDownload(); }
void SessionLink::sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) {
    session_.sendWriteBlock(offset, data);
}
void SessionLink::sendVerify(const std::array<std::uint8_t, 6>& record) { session_.sendVerify(record); }
void SessionLink::sendAck() { session_.sendAck(); }
void SessionLink::sendVersionRequest() { session_.sendVersionRequest(); }
