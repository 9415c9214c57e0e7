#include "session/UnitSession.h"

#include "UnitFrames.h"

bool UnitSession::connect(WindowPoster& window, const std::string& portName, std::int32_t baudRate) {
    worker_.reset();  // an earlier worker has been stopped by disconnect; its destructor makes sure
    worker_ = std::make_unique<CommWorker>(window, libraryFile_);
    return worker_->open(portName, baudRate);
}

void UnitSession::enablePolling() {
    if (worker_) worker_->enableComm();
}

void UnitSession::disablePolling() {
    if (worker_) worker_->disableComm();
}

void UnitSession::disconnect() {
    if (worker_) worker_->stop();
}

bool UnitSession::isConnected() const { return worker_ && worker_->isOpen(); }

void UnitSession::destroy() {
    if (worker_) {
        worker_->stop();
        worker_.reset();
    }
}

void UnitSession::requestStatus() {
    if (worker_) worker_->pollOnce();
}

void UnitSession::retryStatus() {
    if (worker_) worker_->retryPoll();
}

void UnitSession::post(const ByteBuffer& frame) {
    if (worker_) worker_->postCommand(frame);
}

void UnitSession::sendStartDownload() { post(unitframe::startDownload()); }
void UnitSession::sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) {
    post(unitframe::writeBlock(offset, data.bytes()));
}
void UnitSession::sendVerify(const std::array<std::uint8_t, 6>& record) { post(unitframe::verify(record)); }
void UnitSession::sendAck() { post(unitframe::ack()); }
void UnitSession::sendVersionRequest() { post(unitframe::versionRequest()); }
