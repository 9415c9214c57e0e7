#pragma once

#include <cstdint>

#include "ByteBuffer.h"

class DownloadSequencer;
class OperatorFeedback;
class UnitLink;

// Reads the unit's software version: wait for Disable, ask for the version, show it, end.
// Borrows the sequencer's connect step, counters 1 and 2, common end and failure boxes.
class VersionCheck {
public:
    VersionCheck(UnitLink& link, DownloadSequencer& sequencer, OperatorFeedback& feedback);

    // The Version Check command.
    void startVersionCheck();
    // Every reply while the check runs (active()). `fromAlarm`: the bytes came with an Alarm,
    // i.e. they are the request that failed. A failed version request carries code 0x84 too, so
    // without this flag it would pass for the unit's answer.
    void onVersionReply(const ByteBuffer& reply, bool fromAlarm = false);

    // "version-check mode": replies go here instead of to the sequencer.
    bool active() const { return active_; }
    int step() const { return step_; }

private:
    void end();

    UnitLink& link_;
    DownloadSequencer& sequencer_;
    OperatorFeedback& feedback_;
    bool active_ = false;
    int step_ = 1;
};
