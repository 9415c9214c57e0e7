#include "FrameReader.h"

#include "UnitFrames.h"

namespace unitsim {

using unitframe::kSmallestFrame;

FrameReader::Result FrameReader::feed(std::uint8_t byte) {
    switch (state_) {
    case State::Hunt:
        if (byte != unitframe::kSync) {
            ++skipped_;
            return Result::Pending;
        }
        frame_.clear();
        frame_.append(byte);
        crc_.reset();
        crc_.update(byte);
        state_ = State::Length;
        return Result::Pending;

    case State::Length:
        if (byte < kSmallestFrame) {
            // No command fits; resynchronise on the bytes that follow.
            skipped_ += 2;
            state_ = State::Hunt;
            return Result::Pending;
        }
        expected_ = byte;
        frame_.append(byte);
        crc_.update(byte);
        state_ = State::Body;
        return Result::Pending;

    case State::Body:
        frame_.append(byte);
        if (frame_.size() <= expected_ - 2) crc_.update(byte);
        if (frame_.size() < expected_) return Result::Pending;
        state_ = State::Hunt;
        return frame_[expected_ - 2] == crc_.low() && frame_[expected_ - 1] == crc_.high() ? Result::Frame
                                                                                           : Result::BadCheck;
    }
    return Result::Pending;
}

void FrameReader::drop() {
    state_ = State::Hunt;
    frame_.clear();
}

}  // namespace unitsim
