#include "UnitPort.h"

#include <algorithm>

#include "SerialDevice.h"
#include "UnitFrames.h"

namespace {
using unitframe::kSync;
// The length is one byte: no frame is longer.
constexpr long long kLongestFrame = 255;
}  // namespace

UnitPort::UnitPort() : device_(std::make_unique<SerialDevice>()), port_(device_.get()) {}

UnitPort::UnitPort(BytePort& port) : port_(&port) {}

UnitPort::~UnitPort() = default;

bool UnitPort::open(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits) {
    return device_ ? device_->open(portName, baudRate, dataBits) : true;
}

void UnitPort::close() {
    if (device_) device_->close();
}

std::chrono::milliseconds UnitPort::replyLimit() const {
    const long long rate = device_ ? device_->baudRate() : 0;
    if (rate <= 0) return replyLimit_;
    const std::chrono::milliseconds longest{(3 * kLongestFrame * 11 * 1000 + rate - 1) / rate};
    return std::max(replyLimit_, longest);
}

bool UnitPort::sendFrame(ByteBuffer& command) {
    Crc16 crc;
    crc.update(command.bytes());
    if (!command.append(crc.low()) || !command.append(crc.high())) return false;
    return port_->writeBytes(command.data(), command.size());
}

void UnitPort::receiveByte(std::uint8_t byte) {
    lastByte_ = byte;
    switch (rxState_) {
    case RX_HUNT:
        if (lastByte_ == kSync) {
            rxCrc_.reset();
            rxCrc_.update(kSync);
            rxBuffer_.replace(kSync);
            rxState_ = RX_LENGTH;
        }
        break;
    case RX_LENGTH:
        // Too short to hold an answer byte: the sync byte was noise, so hunt on.
        if (lastByte_ < unitframe::kSmallestFrame) {
            rxState_ = RX_HUNT;
            break;
        }
        rxBuffer_.append(lastByte_);
        rxCrc_.update(lastByte_);
        rxCount_ = 2;
        rxState_ = RX_BODY;
        break;
    case RX_BODY: {
        ++rxCount_;
        rxBuffer_.append(lastByte_);
        const std::int32_t len = rxBuffer_.at(1);
        if (rxCount_ == len) {
            const auto end = static_cast<std::size_t>(len);  // 5 or more here: shorter is noise
            const bool good = rxBuffer_.at(end - 2) == rxCrc_.low() && rxBuffer_.at(end - 1) == rxCrc_.high();
            result_ = good ? TRANSACT_OK : TRANSACT_BAD_CHECK;
            rxState_ = RX_IDLE;
        } else if (rxCount_ <= len - 2) {
            rxCrc_.update(lastByte_);
        }
        break;
    }
    default: break;
    }
}

std::int32_t UnitPort::transact(ByteBuffer& command, ByteBuffer& reply) {
    if (!sendFrame(command)) return TRANSACT_SEND_FAILED;
    const auto limit = std::chrono::steady_clock::now() + replyLimit();
    rxState_ = RX_HUNT;
    for (;;) {
        // A silent line ends the exchange at the limit too, not only a stream of noise.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        if (!port_->readByteWithin(lastByte_, left)) {
            result_ = TRANSACT_NO_REPLY;
            rxState_ = RX_IDLE;
            break;
        }
        receiveByte(lastByte_);
        if (rxState_ == RX_IDLE) break;
        if (std::chrono::steady_clock::now() >= limit) {
            result_ = TRANSACT_NO_REPLY;
            rxState_ = RX_IDLE;
            break;
        }
    }
    if (result_ == TRANSACT_OK && reply.copyFrom(rxBuffer_)) return result_;
    reply.clear();
    return result_ == TRANSACT_OK ? TRANSACT_NO_REPLY : result_;
}
