#include "download/VersionCheck.h"

#include <string>

#include "UnitFrames.h"
#include "download/OperatorFeedback.h"
#include "download/UnitLink.h"

VersionCheck::VersionCheck(RunControl& run) : run_(run) {}

void VersionCheck::startVersionCheck() {
    run_.feedback().SetVersionText("");
    if (!run_.link().isConnected() && !run_.connectUnit()) return;
    active_ = true;
    run_.begin();
    run_.link().disablePolling();
    run_.link().requestStatus();
    step_ = 1;
    run_.report().versionStep = step_;
    run_.feedback().DisableOperatorControls();
    waitDisable_.reset();
    waitVersion_.reset();
}

void VersionCheck::onVersionReply(const ByteBuffer& reply, bool fromAlarm) {
    if (!active_) return;
    if (step_ == 1) {
        if (unitframe::isDisable(reply)) {
            run_.link().sendVersionRequest();
            step_ = 2;
            run_.report().versionStep = step_;
            waitVersion_.reset();
        } else if (waitDisable_.retry(RunControl::kRetryLimit)) {
            ++run_.report().retries[1];
            run_.link().retryStatus();
        } else {
            fail(Failure::NotDisabled);
        }
        return;
    }
    if (!fromAlarm && unitframe::isVersion(reply)) {
        const std::string text = unitframe::versionText(reply);
        run_.report().unitVersion = text;
        run_.feedback().SetVersionText(text);
        finish(Outcome::Success);
    } else if (waitVersion_.retry(RunControl::kRetryLimit)) {
        ++run_.report().retries[2];
        run_.link().sendVersionRequest();
    } else {
        fail(Failure::NoStartAck);  // the download's F2 box: "No Ack message from Acceptor"
    }
}

void VersionCheck::abandon() {
    active_ = false;
    step_ = 1;
}

void VersionCheck::finish(Outcome outcome) {
    active_ = false;
    step_ = 1;
    run_.end(outcome);
}

void VersionCheck::fail(Failure failure) {
    active_ = false;
    step_ = 1;
    run_.fail(failure);
}
