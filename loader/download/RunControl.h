#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "download/RunReport.h"

class OperatorFeedback;
class UnitLink;
class WindowPoster;

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

// What every run shares, download or version check: its report, connecting with the chosen
// port and baud rate, the common end, and the one delivery of the report when it ends.
class RunControl {
public:
    static constexpr std::uint32_t kRetryLimit = 10;

    // `window` is where the worker of a new connection posts its replies.
    RunControl(UnitLink& link, OperatorFeedback& feedback, WindowPoster& window);

    // A new run's report: what it is and where it connects; the clock starts.
    void open(RunKind kind, const Connection& connection);
    // The report of the run under way (the steps fill in what they learn).
    RunReport& report() { return report_; }

    // Opens the session with the report's connection; on failure ends the run with
    // ConnectionFailure (the box of string 133).
    bool connectUnit();
    // A run has made its first request.
    void begin() { report_.outcome = Outcome::Running; }
    // A command refused before any request (no file, a file that would not load).
    void refuse(Outcome outcome);
    // The common end of every run: stop polling, disconnect, operator controls on, status line
    // cleared, then the report (and with it the box). The outcome is set before the report goes
    // out, so a front can read it while the box is up.
    void end(Outcome outcome);
    // The common end with the failure's box.
    void fail(Failure failure);
    // The common end of a run its watch stopped: `took` is measured from `stoppedAt` to the
    // moment the session was closed (the exchange in progress must end first).
    void stopped(RunReport::Stop stop, std::chrono::steady_clock::time_point stoppedAt);

    Outcome outcome() const { return report_.outcome; }
    // Which failure, while the outcome is Failed.
    std::optional<Failure> failure() const { return report_.failure; }

    UnitLink& link() { return link_; }
    OperatorFeedback& feedback() { return feedback_; }

private:
    void close();
    void deliver();

    UnitLink& link_;
    OperatorFeedback& feedback_;
    WindowPoster& window_;
    RunReport report_;
    std::chrono::steady_clock::time_point startedAt_{};
};
