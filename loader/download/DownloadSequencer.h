#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ByteBuffer.h"
#include "Messages.h"

class DownloadImage;
class OperatorFeedback;
class UnitLink;

// The nine ways a download (or a version check) gives up, each after its state's retry limit.
enum class Failure { F1 = 1, F2, F3, F4, F5, F6, F7, F8, F9 };

struct BoxText {
    std::string caption;
    std::string text;
};
BoxText failureBox(Failure failure);

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

    // `window` is where the worker of a new connection posts its replies.
    DownloadSequencer(UnitLink& link, const DownloadImage& image, OperatorFeedback& feedback, WindowPoster& window);

    // The Start Download command.
    void start();
    // Opens the session with the port and baud rate of the window's lists; on failure shows
    // the box of string 133 and returns false.
    bool connectUnit();
    // Every reply (StatusUpdate, Response or Alarm bytes) while no version check runs.
    void onReply(const ByteBuffer& reply);
    // The self-posted skip message, in state 13 only.
    void onSkip();

    // Shared with the version check: retry counters 1..9, the common end and the failure end.
    // countRetry adds one to counter `n` and returns true while it is below its limit
    // (50 for counter 3, 10 for the others); false means the limit is reached.
    bool countRetry(int n);
    void resetCounter(int n) { counters_.at(n) = 0; }
    std::uint32_t counter(int n) const { return counters_.at(n); }
    void commonEnd();
    void endWithFailure(Failure failure);

    std::uint32_t state() const { return state_; }
    std::uint32_t offset() const { return offset_; }
    std::uint32_t blocksDone() const { return blocksDone_; }
    std::uint8_t unitCrc5() const { return unitCrc5_; }
    std::uint8_t unitCrc4() const { return unitCrc4_; }

private:
    void advance();
    void sendFirstBlock();
    void sendVerify();
    void endWithSuccess();
    void endWithWarning();

    UnitLink& link_;
    const DownloadImage& image_;
    OperatorFeedback& feedback_;
    WindowPoster& window_;

    std::uint32_t state_ = kIdle;
    std::uint32_t offset_ = 0;
    std::uint32_t blocksDone_ = 0;
    std::array<std::uint32_t, 10> counters_{};  // index 1..9 by state
    std::uint8_t unitCrc5_ = 0;
    std::uint8_t unitCrc4_ = 0;
};
