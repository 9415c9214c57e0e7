#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ByteBuffer.h"
#include "SimConfig.h"

namespace unitsim {

using Clock = std::chrono::steady_clock;

enum class UnitPhase {
    PowerUp,        // Reset, then enabled, before the first Disable
    Disabled,       // idle, ready for a download or a version request
    Download,       // erased or erasing; takes blocks
    Verifying,      // verify accepted, result not out yet
    ResultPending,  // verify result repeated until acknowledged
};

const char* phaseName(UnitPhase phase);

struct BlockRecord {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    friend bool operator==(const BlockRecord&, const BlockRecord&) = default;
};

struct VerifyOutcome {
    bool passed = false;             // computed == stored
    std::uint16_t computed = 0;      // check code over image[0 .. end-2)
    std::uint16_t stored = 0;        // trailer, high byte first at end-2
    std::uint32_t end = 0;           // end of the highest block written
    std::uint8_t resultCode = 0x80;  // data byte of the D3 reply actually sent
};

// What one command did to the unit.
struct CommandOutcome {
    std::optional<ByteBuffer> reply;  // none: the unit stays silent
    std::string note;                 // why it stays silent, or what it did
    bool blockStored = false;
    // Flash work that the command started; runs once the reply has left (paced runs only).
    std::chrono::nanoseconds flashTime{0};
};

// The unit's protocol state: no I/O and no locking, so the caller decides when time passes.
class UnitModel {
public:
    explicit UnitModel(const UnitBehaviour& behaviour);

    // Handles one command frame with a good check code that reached the unit at `now`.
    CommandOutcome handle(const ByteBuffer& frame, Clock::time_point now, const Faults& faults, const Pacing& pacing);
    // The flash work of the last command runs until `until`; status requests get busy meanwhile.
    void busyUntil(Clock::time_point until) { busyUntil_ = until; }

    UnitPhase phase() const { return phase_; }
    const std::vector<BlockRecord>& blocks() const { return blocks_; }
    const std::vector<std::uint8_t>& memory() const { return memory_; }
    std::uint32_t highestEnd() const { return highestEnd_; }
    const std::optional<VerifyOutcome>& verifyOutcome() const { return verify_; }

private:
    ByteBuffer statusReply(Clock::time_point now, const Faults& faults);
    ByteBuffer versionReply() const;
    bool busy(Clock::time_point now) const;
    void startBusy(std::uint32_t polls, bool forever);
    CommandOutcome startDownload(const Faults& faults, const Pacing& pacing);
    CommandOutcome writeBlock(const ByteBuffer& frame, Clock::time_point now, const Faults& faults,
                              const Pacing& pacing);
    CommandOutcome verify(Clock::time_point now, const Faults& faults, const Pacing& pacing);
    CommandOutcome acknowledge(const Faults& faults);

    UnitBehaviour behaviour_;
    UnitPhase phase_ = UnitPhase::PowerUp;
    std::uint32_t resetLeft_;
    std::uint32_t enabledLeft_;
    std::optional<Clock::time_point> firstFrame_;

    std::uint32_t busyPolls_ = 0;
    bool busyForever_ = false;
    std::optional<Clock::time_point> busyUntil_;

    std::vector<std::uint8_t> memory_;
    std::uint32_t highestEnd_ = 0;
    std::vector<BlockRecord> blocks_;
    std::optional<VerifyOutcome> verify_;
};

}  // namespace unitsim
