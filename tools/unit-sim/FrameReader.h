#pragma once

#include <cstdint>

#include "ByteBuffer.h"
#include "Crc16.h"

namespace unitsim {

// Collects command frames from the byte stream: hunts for the sync byte, takes the length byte,
// then the rest of the frame, and checks the check code.
class FrameReader {
public:
    enum class Result {
        Pending,   // byte taken, no frame finished
        Frame,     // a whole frame with a good check code is in frame()
        BadCheck,  // a whole frame with a wrong check code is in frame()
    };

    Result feed(std::uint8_t byte);

    // True while part of a frame has been taken.
    bool inFrame() const { return state_ != State::Hunt; }
    // Forgets a partial frame; the next byte starts a new hunt.
    void drop();

    const ByteBuffer& frame() const { return frame_; }
    std::uint64_t skippedBytes() const { return skipped_; }

private:
    enum class State { Hunt, Length, Body };

    State state_ = State::Hunt;
    ByteBuffer frame_;
    Crc16 crc_;
    std::uint32_t expected_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace unitsim
