#include "VersionCheck.h"

#include <string>

#include "DownloadSequencer.h"
#include "OperatorFeedback.h"
#include "UnitLink.h"
#include "UnitSession.h"

namespace {
constexpr std::uint32_t kFirstTextByte = 7;

// Bytes 7 .. L-3 of a version reply of frame length L (byte 1), clipped to what arrived; the
// field shows text only up to a zero byte.
std::string versionText(const ByteBuffer& reply) {
    std::string text;
    const std::uint32_t frameLength = reply.at(1);
    for (std::uint32_t i = kFirstTextByte; i + 3 <= frameLength && i < reply.size(); ++i) {
        if (reply[i] == 0) break;
        text.push_back(static_cast<char>(reply[i]));
    }
    return text;
}
}  // namespace

VersionCheck::VersionCheck(UnitLink& link, DownloadSequencer& sequencer, OperatorFeedback& feedback)
    : link_(link), sequencer_(sequencer), feedback_(feedback) {}

void VersionCheck::startVersionCheck() {
    feedback_.SetVersionText("");
    if (!link_.isConnected() && !sequencer_.connectUnit()) return;
    active_ = true;
    link_.disablePolling();
    link_.requestStatus();
    step_ = 1;
    feedback_.DisableOperatorControls();
    sequencer_.resetCounter(1);
    sequencer_.resetCounter(2);
}

void VersionCheck::onVersionReply(const ByteBuffer& reply, bool fromAlarm) {
    if (!active_) return;
    if (step_ == 1) {
        if (UnitSession::isDisable(reply)) {
            link_.sendVersionRequest();
            step_ = 2;
            sequencer_.resetCounter(2);
        } else if (sequencer_.countRetry(1)) {
            link_.requestStatus();
        } else {
            end();
            sequencer_.endWithFailure(Failure::F1);
        }
        return;
    }
    if (!fromAlarm && UnitSession::isVersion(reply)) {
        feedback_.SetVersionText(versionText(reply));
        end();
        sequencer_.commonEnd();
    } else if (sequencer_.countRetry(2)) {
        link_.sendVersionRequest();
    } else {
        end();
        sequencer_.endWithFailure(Failure::F2);
    }
}

void VersionCheck::end() {
    active_ = false;
    step_ = 1;
}
