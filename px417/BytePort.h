#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// What the frame codec and the transaction talk to: a device that hands over one byte at a
// time with a bounded wait, and takes runs of bytes. Tests put a pseudo-terminal behind it.
class BytePort {
public:
    virtual ~BytePort() = default;

    // One byte; false when none came within the device's wait or the device failed.
    virtual bool readByte(std::uint8_t& byte) = 0;
    // The same, waiting at most `limit` when that is shorter than the device's own wait.
    virtual bool readByteWithin(std::uint8_t& into, std::chrono::milliseconds limit) {
        (void)limit;
        return readByte(into);
    }
    // All bytes, returning once they have left the driver; false on failure.
    virtual bool writeBytes(const std::uint8_t* data, std::size_t count) = 0;
};
