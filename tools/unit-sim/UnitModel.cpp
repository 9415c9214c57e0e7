#include "UnitModel.h"

#include <algorithm>

#include "Crc16.h"
#include "UnitFrames.h"

namespace unitsim {

namespace {

namespace command = unitframe::command;
namespace code = unitframe::reply;
using unitframe::kBlockOverhead;

// Room in a frame of at most 255 bytes for the version text after its four data bytes.
constexpr std::size_t kMaxVersionText = 255 - 9;

// A whole reply frame as it goes on the line, check code included.
ByteBuffer reply(std::uint8_t replyCode, std::span<const std::uint8_t> data = {}) {
    return unitframe::withCheck(unitframe::frame(replyCode, data));
}
ByteBuffer reply(std::uint8_t replyCode, std::uint8_t data) { return reply(replyCode, std::span(&data, 1)); }

}  // namespace

const char* phaseName(UnitPhase phase) {
    switch (phase) {
    case UnitPhase::PowerUp: return "power-up";
    case UnitPhase::Disabled: return "disabled";
    case UnitPhase::Download: return "download";
    case UnitPhase::Verifying: return "verifying";
    case UnitPhase::ResultPending: return "result pending";
    }
    return "?";
}

UnitModel::UnitModel(const UnitBehaviour& behaviour)
    : behaviour_(behaviour),
      resetLeft_(behaviour.resetPolls),
      enabledLeft_(behaviour.enabledPolls),
      memory_(behaviour.memorySize, behaviour.powerUpFill) {
    if (behaviour_.versionText.size() > kMaxVersionText) behaviour_.versionText.resize(kMaxVersionText);
}

CommandOutcome UnitModel::handle(const ByteBuffer& frame, Clock::time_point now, const Faults& faults,
                                 const Pacing& pacing) {
    if (!firstFrame_) firstFrame_ = now;
    const bool inDownload =
        phase_ == UnitPhase::Download || phase_ == UnitPhase::Verifying || phase_ == UnitPhase::ResultPending;
    switch (frame.at(2)) {
    case command::kStatusRequest: return {statusReply(now, faults), {}};

    case command::kDownloadStart:
        // A repeated start (its acknowledgement lost) erases again; before the first Disable the
        // unit is not ready and just reports what it is doing.
        if (phase_ == UnitPhase::PowerUp) return {statusReply(now, faults), "not disabled yet"};
        if (inDownload && busy(now)) return {reply(code::kFlashStatus, code::kBusy), "busy"};
        return startDownload(faults, pacing);

    case command::kWriteBlock:
        if (!inDownload) return {statusReply(now, faults), "no download started"};
        if (busy(now)) return {reply(code::kFlashStatus, code::kBusy), "busy"};
        return writeBlock(frame, now, faults, pacing);

    case command::kVerify:
        if (!inDownload) return {statusReply(now, faults), "no download started"};
        if (busy(now)) return {reply(code::kFlashStatus, code::kBusy), "busy"};
        return verify(now, faults, pacing);

    case command::kAck: return acknowledge(faults);

    case command::kVersionRequest: return {versionReply(), {}};

    default: return {std::nullopt, "unknown command"};
    }
}

bool UnitModel::busy(Clock::time_point now) const {
    return busyForever_ || busyPolls_ > 0 || (busyUntil_ && now < *busyUntil_);
}

void UnitModel::startBusy(std::uint32_t polls, bool forever) {
    busyPolls_ = polls;
    busyForever_ = forever;
    busyUntil_.reset();
}

ByteBuffer UnitModel::statusReply(Clock::time_point now, const Faults& faults) {
    switch (phase_) {
    case UnitPhase::PowerUp:
        if (resetLeft_ > 0) {
            --resetLeft_;
            return reply(code::kReset);
        }
        if (enabledLeft_ > 0 || faults.neverDisable || now < *firstFrame_ + behaviour_.enabledTime) {
            if (enabledLeft_ > 0) --enabledLeft_;
            return reply(behaviour_.enabledStatus);
        }
        phase_ = UnitPhase::Disabled;
        return reply(code::kDisable);

    case UnitPhase::Disabled: return reply(code::kDisable);

    case UnitPhase::Download:
    case UnitPhase::Verifying:
        if (busy(now)) {
            if (busyPolls_ > 0) --busyPolls_;
            return reply(code::kFlashStatus, code::kBusy);
        }
        if (phase_ == UnitPhase::Download) return reply(code::kFlashStatus, code::kReady);
        phase_ = UnitPhase::ResultPending;
        [[fallthrough]];

    case UnitPhase::ResultPending: {
        const std::uint8_t data[3] = {verify_->resultCode, static_cast<std::uint8_t>(verify_->computed),
                                      static_cast<std::uint8_t>(verify_->computed >> 8)};
        return reply(code::kVerifyResult, data);
    }
    }
    return reply(code::kDisable);
}

ByteBuffer UnitModel::versionReply() const {
    ByteBuffer data(behaviour_.versionData.data(), behaviour_.versionData.size());
    data.append(reinterpret_cast<const std::uint8_t*>(behaviour_.versionText.data()), behaviour_.versionText.size());
    return reply(code::kVersion, data.bytes());
}

CommandOutcome UnitModel::startDownload(const Faults& faults, const Pacing& pacing) {
    std::fill(memory_.begin(), memory_.end(), std::uint8_t{0xFF});
    blocks_.clear();
    highestEnd_ = 0;
    verify_.reset();
    phase_ = UnitPhase::Download;
    startBusy(behaviour_.eraseBusyPolls, faults.busyForeverErase);
    return {reply(code::kAck), "erase", false, pacing.enabled ? pacing.eraseTime : std::chrono::nanoseconds{}};
}

CommandOutcome UnitModel::writeBlock(const ByteBuffer& frame, Clock::time_point, const Faults& faults,
                                     const Pacing& pacing) {
    // The reader delimits frames by their length byte, so size and length byte agree here unless
    // the frame is too short to carry an offset.
    if (frame.size() < kBlockOverhead || frame.at(1) != frame.size()) return {std::nullopt, "block frame too short"};
    const std::uint32_t offset = frame[3] | frame[4] << 8 | frame[5] << 16 | static_cast<std::uint32_t>(frame[6]) << 24;
    const std::uint32_t length = frame.size() - kBlockOverhead;
    if (offset > memory_.size() || length > memory_.size() - offset) return {std::nullopt, "block outside the memory"};

    std::copy_n(frame.data() + 7, length, memory_.begin() + offset);
    blocks_.push_back({offset, length});
    highestEnd_ = std::max(highestEnd_, offset + length);
    phase_ = UnitPhase::Download;
    startBusy(behaviour_.blockBusyPolls, faults.busyForeverBlock);
    return {reply(code::kAck), "block stored", true,
            pacing.enabled ? pacing.blockWriteTime : std::chrono::nanoseconds{}};
}

CommandOutcome UnitModel::verify(Clock::time_point, const Faults& faults, const Pacing& pacing) {
    VerifyOutcome outcome;
    outcome.end = highestEnd_;
    if (highestEnd_ >= 2) {
        outcome.computed = Crc16::of({memory_.data(), highestEnd_ - 2});
        outcome.stored = static_cast<std::uint16_t>(memory_[highestEnd_ - 2] << 8 | memory_[highestEnd_ - 1]);
        outcome.passed = outcome.computed == outcome.stored;
    }
    outcome.resultCode = outcome.passed && !faults.forceResult80 ? 0x00 : 0x80;
    verify_ = outcome;
    phase_ = UnitPhase::Verifying;
    startBusy(behaviour_.verifyBusyPolls, faults.busyForeverVerify);
    return {reply(code::kAck), "verify", false, pacing.enabled ? pacing.verifyTime : std::chrono::nanoseconds{}};
}

CommandOutcome UnitModel::acknowledge(const Faults& faults) {
    // The host acknowledges the verify result; anything else it acknowledges is simply echoed,
    // which its state machine treats like any other non-status reply.
    if (phase_ == UnitPhase::ResultPending && !faults.stuckAfterResult) {
        phase_ = UnitPhase::Disabled;
        return {reply(code::kAck), "result acknowledged"};
    }
    return {reply(code::kAck), {}};
}

}  // namespace unitsim
