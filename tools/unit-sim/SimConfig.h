#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Everything that shapes the simulated unit: its normal behaviour, line-rate pacing and the faults
// it can be told to commit. Defaults describe a healthy unit that answers at once.
namespace unitsim {

// What an enabled unit (accepting notes) reports; the host knows no name for it. Every other
// code is the host's own, from UnitFrames.
inline constexpr std::uint8_t kEnabledIdle = 0x15;

struct UnitBehaviour {
    std::uint32_t memorySize = 16u * 1024 * 1024;
    // Byte the memory holds at power-up, so that an erase can be told from no erase.
    std::uint8_t powerUpFill = 0x00;
    std::uint32_t resetPolls = 0;    // status replies 0x40 after power-up
    std::uint32_t enabledPolls = 0;  // then this many replies of enabledStatus
    // Also enabled until this long after the first frame the unit received (with or without pacing).
    std::chrono::milliseconds enabledTime{0};
    std::uint8_t enabledStatus = kEnabledIdle;
    std::uint32_t eraseBusyPolls = 2;   // D4 80 replies before D4 00 after a download start
    std::uint32_t blockBusyPolls = 0;   // the same after each block
    std::uint32_t verifyBusyPolls = 1;  // the same before the verify result
    std::array<std::uint8_t, 4> versionData{0x01, 0x00, 0x02, 0x07};  // bytes 3..6 of the reply
    std::string versionText = "SIM-UNIT 2.07";                        // bytes 7..L-3
};

struct Pacing {
    bool enabled = false;
    std::uint32_t baud = 38400;
    // Flash work after the acknowledgement has left the unit; status requests get busy meanwhile.
    // The loader takes at most 50 busy replies while erasing, each repeated poll 10 ms after the
    // reply before it: at 38400 baud an erase much beyond 650 ms fails.
    std::chrono::microseconds eraseTime{std::chrono::milliseconds(100)};
    std::chrono::microseconds blockWriteTime{std::chrono::milliseconds(2)};
    std::chrono::microseconds verifyTime{std::chrono::milliseconds(50)};

    // 8 data bits, parity, start and stop bit.
    std::chrono::nanoseconds byteTime() const {
        return std::chrono::nanoseconds(11'000'000'000LL / (baud == 0 ? 1 : baud));
    }
};

// Picks replies by their number, counted from 1 over every reply the unit sends.
struct ReplySelector {
    std::uint32_t nth = 0;    // just this reply (0: none)
    std::uint32_t every = 0;  // every k-th reply (0: none)

    bool matches(std::uint64_t replyNumber) const {
        return (nth != 0 && replyNumber == nth) || (every != 0 && replyNumber % every == 0);
    }
    bool any() const { return nth != 0 || every != 0; }
};

enum class StreamFault {
    None,
    NoSync,       // bytes that never include 0xFC
    ShortLength,  // 0xFC followed by a length byte below 3, over and over
};

struct Faults {
    // Answers the first N good frames, then nothing (0: silent from the start).
    std::optional<std::uint32_t> silentAfterFrames;
    ReplySelector badCheck;  // wrong check code
    ReplySelector noise;     // noise bytes before the reply
    std::uint32_t noiseBytes = 4;
    ReplySelector cut;  // reply cut off after cutAfterBytes bytes
    std::uint32_t cutAfterBytes = 3;
    ReplySelector gap;  // pause halfway through the reply
    std::chrono::milliseconds gapTime{1500};
    ReplySelector duplicate;  // the reply is sent twice

    bool neverDisable = false;  // stays "enabled" after power-up
    bool busyForeverErase = false;
    bool busyForeverBlock = false;
    bool busyForeverVerify = false;
    bool forceResult80 = false;
    bool stuckAfterResult = false;  // keeps repeating the verify result after the ack

    // Closes the line once the acknowledgement of the k-th block (counted from 1) has left.
    std::optional<std::uint32_t> dropLineAfterBlock;
    // Babbles instead of answering, from the start.
    StreamFault stream = StreamFault::None;
};

struct SimConfig {
    UnitBehaviour unit;
    Pacing pacing;
    Faults faults;
    // A frame left incomplete this long is dropped: the host has long given up on it.
    std::chrono::milliseconds partialFrameTimeout{500};
    // Oldest records go first beyond this, so a long run cannot eat the memory.
    std::size_t frameLogLimit = 65536;
    // No unit on the line until connect(): frames are taken and never answered.
    bool startAbsent = false;
};

}  // namespace unitsim
