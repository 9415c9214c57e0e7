#pragma once

#include <cstdint>
#include <optional>
#include <string>

class OperatorFeedback;
class UnitLink;
class WindowPoster;

// The nine ways a download gives up, each when its waiting state's retry limit is reached; the
// version check gives up in the first two ways. Operators know them as F1 to F9 (the numbers
// below), as the command-line loader's exit codes name them.
enum class Failure {
    NotDisabled = 1,        // F1: no Disable before the download start (or the version request)
    NoStartAck = 2,         // F2: download start (or version request) not answered
    NotErased = 3,          // F3: no ready after erasing
    NoFirstBlockAck = 4,    // F4: first block not acknowledged
    NoReady = 5,            // F5: no ready or busy after a block
    NoBlockAck = 6,         // F6: a middle block not acknowledged
    NoLastBlockAck = 7,     // F7: the short last block not acknowledged
    NotReadyAfterLast = 8,  // F8: no ready after the last block
    NoVerifyAck = 9,        // F9: verify command not acknowledged
};
inline constexpr int failureNumber(Failure failure) { return static_cast<int>(failure); }

struct BoxText {
    std::string caption;
    std::string text;
};
BoxText failureBox(Failure failure);

// How the last download or version check ended, as a front needs to know it without reading
// the box texts.
enum class Outcome {
    None,               // nothing has run yet
    Running,            // a download or version check is under way
    Success,            // verified and Disable again, or the version shown
    Warning,            // verify result D3 80, then Disable
    Failed,             // gave up; failure() says which way
    ConnectionFailure,  // the port could not be opened (message 133)
    FileError,          // the download file could not be loaded
    NoFileSelected,     // Start Download without a loaded file
};

// Unexpected replies one waiting state accepts before it gives up. Set to 0 whenever its state
// is entered from another.
class RetryCounter {
public:
    void reset() { count_ = 0; }
    // Counts one more unexpected reply; false once `limit` had already been reached.
    bool retry(std::uint32_t limit) {
        if (count_ >= limit) return false;
        ++count_;
        return true;
    }
    std::uint32_t count() const { return count_; }

private:
    std::uint32_t count_ = 0;
};

// What every run shares, download or version check: connecting with the window's port and
// baud rate, the common end, the failure box, and the outcome it leaves behind.
class RunControl {
public:
    static constexpr std::uint32_t kRetryLimit = 10;

    // `window` is where the worker of a new connection posts its replies.
    RunControl(UnitLink& link, OperatorFeedback& feedback, WindowPoster& window);

    // Opens the session with the texts of the port and baud-rate lists (a baud rate that is not a
    // whole decimal number gives 9600); on failure shows the box of string 133 and ends with
    // ConnectionFailure.
    bool connectUnit();
    // A run has made its first request.
    void begin() { set(Outcome::Running); }
    // A command refused before any request, with its box already shown by the caller.
    void refuse(Outcome outcome) { set(outcome); }
    // The common end of every run: stop polling, disconnect, operator controls on, status line
    // cleared. The outcome is set before any box, so a front can read it while the box is up.
    void end(Outcome outcome);
    // The common end, then the failure's box.
    void fail(Failure failure);

    Outcome outcome() const { return outcome_; }
    // Which failure, while the outcome is Failed.
    std::optional<Failure> failure() const { return failure_; }

    UnitLink& link() { return link_; }
    OperatorFeedback& feedback() { return feedback_; }

private:
    void close();
    void set(Outcome outcome, std::optional<Failure> failure = std::nullopt) {
        outcome_ = outcome;
        failure_ = failure;
    }

    UnitLink& link_;
    OperatorFeedback& feedback_;
    WindowPoster& window_;
    Outcome outcome_ = Outcome::None;
    std::optional<Failure> failure_;
};
