#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SimConfig.h"
#include "UnitModel.h"

namespace unitsim {

class PseudoTerminal;

struct FrameRecord {
    enum class Direction { In, Out, Event };
    Direction direction = Direction::In;
    Clock::time_point time;
    std::vector<std::uint8_t> bytes;  // as received, or as actually sent (faults included)
    bool checkOk = true;              // In: the check code was right
    std::string note;                 // what the unit made of it, or the fault applied
};

struct Counters {
    std::uint64_t framesReceived = 0;  // with a good check code
    std::uint64_t badCheckFrames = 0;
    std::uint64_t partialFramesDropped = 0;
    std::uint64_t unanswered = 0;    // good frames that got no reply (unknown, malformed, silent)
    std::uint64_t repliesSent = 0;   // duplicates count once
    std::uint64_t blocksStored = 0;  // since start, across erasures
    std::uint64_t noiseBytesSent = 0;
    std::uint64_t streamBytesSent = 0;
    bool lineDropped = false;
    std::uint64_t unitsConnected = 0;  // connect() calls
    std::uint64_t absentFrames = 0;    // good frames while no unit was there
};

// The simulated unit on a pseudo-terminal, run on a thread of its own. Every accessor may be
// called from any thread; every wait is bounded.
class UnitSimulator {
public:
    using LogSink = std::function<void(const FrameRecord&)>;

    explicit UnitSimulator(SimConfig config = {});
    ~UnitSimulator();
    UnitSimulator(const UnitSimulator&) = delete;
    UnitSimulator& operator=(const UnitSimulator&) = delete;

    // Called on the simulator's thread for every record as it is made; set before start().
    void setLogSink(LogSink sink);

    // Creates the pseudo-terminal and starts the thread. Throws std::system_error on failure.
    void start();
    // Wakes the thread at once and joins it; the device goes away. Safe to call twice.
    void stop();

    // The slave device the host opens as its serial port (valid after start()).
    std::string devicePath() const;

    // Changes the faults of a running unit; the next frame sees the new ones.
    void setFaults(const Faults& faults);

    // A unit arrives on the line: a fresh one, just powered up, with this behaviour and these
    // faults (the pacing stays the simulator's). Replaces a unit already there.
    void connect(const UnitBehaviour& unit, const Faults& faults);
    // The unit leaves: the line stays, but nothing answers until the next connect().
    void remove();
    bool present() const;

    Counters counters() const;
    UnitPhase phase() const;
    std::vector<BlockRecord> blocks() const;  // since the last erase
    std::vector<FrameRecord> frameLog() const;
    std::optional<VerifyOutcome> verifyOutcome() const;
    std::vector<std::uint8_t> memory(std::uint32_t offset, std::uint32_t length) const;
    std::vector<std::uint8_t> image() const;  // memory up to the end of the highest block

    // Each returns false when the timeout passes first.
    bool waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForBlocks(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForLineDrop(std::chrono::milliseconds timeout) const;
    // Until `done` holds for the counters; a frame's counters change together with its record.
    bool waitForCounters(const std::function<bool(const Counters&)>& done, std::chrono::milliseconds timeout) const;

private:
    struct ReplyPlan;

    void run();
    void handleFrame(const ByteBuffer& frame, bool checkOk, Clock::time_point arrived);
    bool sendReply(const ByteBuffer& reply, const ReplyPlan& plan, Clock::time_point start, Clock::time_point& end,
                   std::vector<std::uint8_t>& sent);
    bool writePaced(const std::uint8_t* data, std::size_t count, Clock::time_point& lineFree);
    bool writeAll(const std::uint8_t* data, std::size_t count);
    bool sleepUntil(Clock::time_point deadline);
    void emitStream(Clock::time_point now);
    // Keeps a record with the counter change it belongs to, so waiters see both at once. The
    // sink runs afterwards without the lock, so that it may call the accessors.
    void logLocked(const FrameRecord& entry);
    void dropLine();
    bool waitFor(std::chrono::milliseconds timeout, const std::function<bool()>& done) const;

    const SimConfig config_;
    LogSink sink_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Faults faults_;
    UnitModel model_;
    bool present_ = true;
    Counters counters_;
    std::deque<FrameRecord> log_;

    // Owned by the simulator's thread while it runs.
    std::unique_ptr<PseudoTerminal> pty_;
    std::string devicePath_;
    int stopFd_ = -1;
    int master_ = -1;
    std::uint64_t streamPosition_ = 0;
    Clock::time_point streamStart_;
    std::thread thread_;
};

}  // namespace unitsim
