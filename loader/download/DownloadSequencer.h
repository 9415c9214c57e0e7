#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "download/RunControl.h"

class DownloadImage;

// Outcome texts; the CRC pair is the unit's verify result bytes 5 and 4.
std::string successText(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc);
BoxText warningBox(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc);

// Drives one download as a state machine on the window's thread. It never waits: each step
// makes one request through the link and returns; the reply message brings the next step.
class DownloadSequencer {
public:
    enum State : std::uint32_t {
        kIdle = 0,
        kWaitDisable = 1,
        kWaitStartAck = 2,
        kWaitErased = 3,
        kWaitFirstBlockAck = 4,
        kWaitReady = 5,
        kWaitBlockAck = 6,
        kWaitLastBlockAck = 7,
        kWaitReadyAfterLast = 8,
        kWaitVerifyAck = 9,
        kWaitVerifyResult = 10,
        kWaitDisableAfter00 = 11,
        kWaitDisableAfter80 = 12,
        kSkipPending = 13,
    };

    DownloadSequencer(RunControl& run, const DownloadImage& image);

    // The Start Download command.
    void start();
    // Every reply (StatusUpdate, Response or Alarm bytes) while no version check runs.
    void onReply(const ByteBuffer& reply);
    // The self-posted skip message, in state 13 only.
    void onSkip();
    // Idle at once, no request made: the run was stopped from outside and is ended by the caller.
    void abandon();

    std::uint32_t state() const { return state_; }
    std::uint32_t offset() const { return offset_; }
    std::uint32_t blocksDone() const { return blocksDone_; }

private:
    using Test = bool (*)(const ByteBuffer& reply);
    using Step = void (DownloadSequencer::*)(const ByteBuffer& reply);
    // One waiting state. The reply that moves it on and what happens then; a reply it takes
    // without counting, if any, and what happens then; for any other reply the state's request
    // is made again until its counter reaches the limit (kNoLimit: for ever), then the failure.
    struct Row {
        State state;
        Test movesOn;
        Step then;
        Test takenUncounted;
        Step thenUncounted;
        Step again;
        std::uint32_t limit;
        Failure failure;
    };
    static const Row kRows[];
    static constexpr std::uint32_t kEraseRetryLimit = 50;  // erasing the flash takes many polls
    static constexpr std::uint32_t kNoLimit = 0;

    // Moves to `next`; a counter restarts whenever its state is entered from another.
    void enter(State next);
    // The common end with the outcome (the box follows); idle again before any box is up.
    void finish(Outcome outcome);
    void fail(Failure failure);

    // Steps of the table. Each request step enters the state that waits for its answer, so the
    // same step serves as that state's repetition.
    void poll(const ByteBuffer&);
    void pollAgain(const ByteBuffer&);
    void startDownload(const ByteBuffer&);
    void startAcknowledged(const ByteBuffer&);
    void sendFirstBlock(const ByteBuffer&);
    void blockAcknowledged(const ByteBuffer&);
    void nextBlock(const ByteBuffer&);
    void sendBlock(const ByteBuffer&);
    void sendLastBlock(const ByteBuffer&);
    void lastBlockAcknowledged(const ByteBuffer&);
    void sendVerify(const ByteBuffer&);
    void verifyAcknowledged(const ByteBuffer&);
    void verifyResult(const ByteBuffer& reply);
    void acknowledge(const ByteBuffer&);
    void succeed(const ByteBuffer&);
    void warn(const ByteBuffer&);

    RunControl& run_;
    const DownloadImage& image_;

    std::uint32_t state_ = kIdle;
    std::uint32_t offset_ = 0;
    std::uint32_t blocksDone_ = 0;
    std::array<RetryCounter, kSkipPending + 1> counters_{};  // by the state they count for
};
