#include "UnitSession.h"

namespace {
constexpr std::uint8_t kSync = 0xFC;
ByteBuffer shortFrame(std::uint8_t command) { return ByteBuffer{kSync, 0x05, command}; }
}  // namespace

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

void UnitSession::post(const ByteBuffer& frame) {
    if (worker_) worker_->postCommand(frame);
}

void UnitSession::sendStartDownload() { post(startDownloadFrame()); }
void UnitSession::sendWriteBlock(std::uint32_t offset, const ByteBuffer& data) { post(writeBlockFrame(offset, data)); }
void UnitSession::sendVerify(const std::array<std::uint8_t, 6>& record) { post(verifyFrame(record)); }
void UnitSession::sendAck() { post(ackFrame()); }
void UnitSession::sendVersionRequest() { post(versionRequestFrame()); }

ByteBuffer UnitSession::statusRequestFrame() { return shortFrame(0x11); }
ByteBuffer UnitSession::startDownloadFrame() { return shortFrame(0xD0); }
ByteBuffer UnitSession::ackFrame() { return shortFrame(0x50); }
ByteBuffer UnitSession::versionRequestFrame() { return shortFrame(0x84); }

ByteBuffer UnitSession::writeBlockFrame(std::uint32_t offset, const ByteBuffer& data) {
    // The length byte counts the two check bytes px417 appends; it wraps like the unit's one byte.
    ByteBuffer frame{kSync, static_cast<std::uint8_t>((data.size() + 9) % 256), 0xD1};
    frame.appendU32(offset);
    frame.append(data.data(), data.size());
    return frame;
}

ByteBuffer UnitSession::verifyFrame(const std::array<std::uint8_t, 6>& r) {
    return ByteBuffer{kSync, 0x0B, 0xD2, r[3], r[2], r[1], r[0], r[5], r[4]};
}
