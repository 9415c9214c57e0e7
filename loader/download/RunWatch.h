#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "download/RunReport.h"

// Supervises one run from outside the state machine: a limit on the whole run, a limit on the
// time without progress, and a stop request. The engine's steps never wait, so it decides
// nothing by itself: the front asks due() as often as nextCheck() says, and stops the run when
// a reason is due. The clock is injected so that tests need not wait.
class RunWatch {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        std::optional<std::chrono::milliseconds> total;  // none: no limit
        std::optional<std::chrono::milliseconds> stall;
    };
    // Where a run stands; any change of it is progress (a block acknowledged is a change of
    // state, a blank block passed over one of blocks).
    struct Position {
        std::uint32_t state = 0;
        std::uint32_t blocksDone = 0;
        int versionStep = 0;
        bool operator==(const Position&) const = default;
    };

    explicit RunWatch(Now now = Clock::now) : now_(std::move(now)) {}

    void setLimits(Limits limits) { limits_ = limits; }
    const Limits& limits() const { return limits_; }

    // A run has begun: both limits count from now, a stop request of an earlier run is gone.
    void start(Position position);
    // The run has ended: nothing is due until the next start.
    void finish() { running_ = false; }
    // The run has handled a message and stands at `position`.
    void progressed(Position position);
    // Asks for the run to stop; `cause` completes "The download was stopped ...".
    void requestStop(std::string cause);
    bool stopRequested() const { return stopCause_.has_value(); }
    const std::string& stopCause() const;

    // The reason to stop now, if one is due: a stop request first, then the total limit, then
    // the stall limit.
    std::optional<StopReason> due() const;
    // The limit behind a reason (0 for a stop request).
    std::chrono::milliseconds limitOf(StopReason reason) const;
    // How long until due() may change by the clock alone; `ceiling` when no limit is set.
    std::chrono::milliseconds nextCheck(std::chrono::milliseconds ceiling) const;

    Clock::time_point now() const { return now_(); }
    Clock::time_point startedAt() const { return startedAt_; }

private:
    Now now_;
    Limits limits_;
    Clock::time_point startedAt_{};
    Clock::time_point movedAt_{};
    Position position_;
    std::optional<std::string> stopCause_;
    bool running_ = false;
};
