#pragma once

#include <cstdint>

#include "ByteBuffer.h"
#include "download/RunControl.h"

// Reads the unit's software version: wait for Disable, ask for the version, show it, end.
// Connects, counts, ends and fails as a download does, through the same RunControl.
class VersionCheck {
public:
    explicit VersionCheck(RunControl& run);

    // The Version Check command.
    void startVersionCheck();
    // Every reply while the check runs (active()). `fromAlarm`: the bytes came with an Alarm,
    // i.e. they are the request that failed. A failed version request carries code 0x84 too, so
    // without this flag it would pass for the unit's answer.
    void onVersionReply(const ByteBuffer& reply, bool fromAlarm = false);
    // Inactive at once, no request made: the run was stopped from outside.
    void abandon();

    // "version-check mode": replies go here instead of to the sequencer.
    bool active() const { return active_; }
    int step() const { return step_; }

private:
    void finish(Outcome outcome);
    void fail(Failure failure);

    RunControl& run_;
    bool active_ = false;
    int step_ = 1;
    RetryCounter waitDisable_;  // step 1
    RetryCounter waitVersion_;  // step 2
};
