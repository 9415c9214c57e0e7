#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ByteBuffer.h"
#include "BytePort.h"
#include "Crc16.h"

// Outcome of one command exchange with the unit.
enum TransactResult : std::int32_t {
    TRANSACT_OK = 101,           // reply frame complete, check code right
    TRANSACT_NO_REPLY = 102,     // no complete reply frame
    TRANSACT_BAD_CHECK = 105,    // reply frame complete, check code wrong
    TRANSACT_SEND_FAILED = 107,  // the command frame could not be written
};

// Receiver states.
enum RxState : std::int32_t {
    RX_IDLE = 0,
    RX_HUNT = 10,
    RX_LENGTH = 11,
    RX_BODY = 12,
};

class SerialDevice;

// The library's link to the unit: the serial device, the frame codec and the exchange of
// one command frame for one reply frame.
class UnitPort {
public:
    // A unit that keeps sending bytes that never form a frame must not hold the caller for
    // ever. The limit is at least this, and three times the line time of the longest frame at
    // the line's rate, so that no valid reply is ever cut off at a slow rate.
    static constexpr std::chrono::milliseconds kDefaultReplyLimit{10000};

    // On the serial device named at open().
    UnitPort();
    // On a byte port owned elsewhere; open() and close() then do nothing to it.
    explicit UnitPort(BytePort& port);
    ~UnitPort();
    UnitPort(const UnitPort&) = delete;
    UnitPort& operator=(const UnitPort&) = delete;

    bool open(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits);
    void close();

    // Appends the check code to `command` and writes the whole frame.
    bool sendFrame(ByteBuffer& command);
    // Feeds one received byte into the receiver.
    void receiveByte(std::uint8_t byte);
    // One exchange; see TransactResult. On TRANSACT_OK `reply` holds the whole reply frame,
    // after TRANSACT_SEND_FAILED it is untouched, otherwise it is empty.
    std::int32_t transact(ByteBuffer& command, ByteBuffer& reply);

    // Longest time from the end of the write to a complete reply frame: the larger of the
    // limit set here and three times the line time of a 255-byte frame at the line's rate.
    void setReplyLimit(std::chrono::milliseconds limit) { replyLimit_ = limit; }
    std::chrono::milliseconds replyLimit() const;

    std::int32_t receiverState() const { return rxState_; }
    std::int32_t result() const { return result_; }
    const ByteBuffer& receiveBuffer() const { return rxBuffer_; }

private:
    std::unique_ptr<SerialDevice> device_;  // empty when the byte port is borrowed
    BytePort* port_;

    std::int32_t rxState_ = RX_IDLE;
    std::uint8_t lastByte_ = 0;
    Crc16 rxCrc_;
    ByteBuffer rxBuffer_;
    std::int32_t rxCount_ = 0;
    std::int32_t result_ = TRANSACT_NO_REPLY;

    std::chrono::milliseconds replyLimit_ = kDefaultReplyLimit;
};
