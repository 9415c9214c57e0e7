#include "download/RunWatch.h"

#include <algorithm>

void RunWatch::start(Position position) {
    startedAt_ = movedAt_ = now_();
    position_ = position;
    stopCause_.reset();
    running_ = true;
}

void RunWatch::progressed(Position position) {
    if (position == position_) return;
    position_ = position;
    movedAt_ = now_();
}

void RunWatch::requestStop(std::string cause) { stopCause_ = std::move(cause); }

const std::string& RunWatch::stopCause() const {
    static const std::string none;
    return stopCause_ ? *stopCause_ : none;
}

std::optional<StopReason> RunWatch::due() const {
    if (!running_) return std::nullopt;
    if (stopCause_) return StopReason::Interrupted;
    const auto now = now_();
    if (limits_.total && now >= startedAt_ + *limits_.total) return StopReason::TimedOut;
    if (limits_.stall && now >= movedAt_ + *limits_.stall) return StopReason::Stalled;
    return std::nullopt;
}

std::chrono::milliseconds RunWatch::limitOf(StopReason reason) const {
    switch (reason) {
    case StopReason::TimedOut: return limits_.total.value_or(std::chrono::milliseconds{0});
    case StopReason::Stalled: return limits_.stall.value_or(std::chrono::milliseconds{0});
    case StopReason::Interrupted: return std::chrono::milliseconds{0};
    }
    return std::chrono::milliseconds{0};
}

std::chrono::milliseconds RunWatch::nextCheck(std::chrono::milliseconds ceiling) const {
    if (!running_) return ceiling;
    const auto now = now_();
    auto wait = ceiling;
    auto until = [&](Clock::time_point at) {
        wait = std::min(wait,
                        std::max(std::chrono::milliseconds{0}, std::chrono::ceil<std::chrono::milliseconds>(at - now)));
    };
    if (limits_.total) until(startedAt_ + *limits_.total);
    if (limits_.stall) until(movedAt_ + *limits_.stall);
    return wait;
}
