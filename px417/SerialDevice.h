#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "BytePort.h"

// The serial line to the unit: even parity, one stop bit, raw 8-bit, held exclusively.
// One implementation file per platform.
class SerialDevice : public BytePort {
public:
    // How long readByte waits for its byte: 500 ms plus 500 ms per byte asked for.
    static constexpr std::chrono::milliseconds kReadWait{1000};

    // How long a write of `count` bytes may take before it is abandoned: twice the time the
    // bytes take on the line (11 bits each: start, 8 data, parity, stop) plus a second.
    static constexpr std::chrono::milliseconds writeLimit(std::size_t count, std::int32_t baudRate) {
        const std::uint64_t rate = baudRate > 0 ? static_cast<std::uint64_t>(baudRate) : 1;
        return std::chrono::milliseconds(1000 + (2 * 11 * 1000 * static_cast<std::uint64_t>(count) + rate - 1) / rate);
    }

    SerialDevice();
    ~SerialDevice() override;  // releases the device without touching the modem lines
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // True when the name stands for a terminal device and it could be had exclusively; nothing
    // else is opened or touched. Settings the driver refuses are passed over: the device still
    // counts as open, and a refused rate leaves the line at its previous speed.
    bool open(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits);
    // Drops DTR and RTS and releases the device; harmless when not open.
    void close();
    bool isOpen() const;
    // The rate the line runs at since open(), as the driver reports it; 0 when not open.
    std::int32_t baudRate() const;

    bool readByte(std::uint8_t& byte) override;
    bool readByteWithin(std::uint8_t& byte, std::chrono::milliseconds limit) override;
    // Gives up once 1 s plus twice the bytes' line time (11 bits each) has passed without the
    // bytes having left, so a peer that stops reading (or CTS held low under hardware flow
    // control) cannot hold the caller; the unsent rest of the output is then discarded.
    bool writeBytes(const std::uint8_t* data, std::size_t count) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The device a port name stands for on this platform ("COM1" and the like; "com1" is the same).
std::string serialDevicePath(const std::string& portName);
