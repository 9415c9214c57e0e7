#include "core/DialogCore.h"

#include <cstdio>

#include "UnitFrames.h"

DialogCore::DialogCore(OperatorFeedback& feedback, WindowPoster& window, UnitLink& link)
    : DialogCore(feedback, window, nullptr, &link) {}

DialogCore::DialogCore(OperatorFeedback& feedback, WindowPoster& window, std::unique_ptr<UnitLink> owned,
                       UnitLink* link)
    : recorder_(feedback, *this),
      ownedLink_(std::move(owned)),
      link_(link ? *link : *ownedLink_),
      run_(link_, recorder_, window),
      sequencer_(run_, image_),
      versionCheck_(run_),
      statusUpdate_(registerMessage(msgname::kStatusUpdate)),
      response_(registerMessage(msgname::kResponse)),
      alarm_(registerMessage(msgname::kAlarm)),
      sendCancel_(registerMessage(msgname::kSendCancel)) {}

DialogCore::~DialogCore() { link_.disconnect(); }

void DialogCore::Shutdown() { link_.disconnect(); }

bool DialogCore::handleMessage(Message& message) {
    if (message.id == statusUpdate_ || message.id == response_) {
        replyMessage(message, false);
        return true;
    }
    if (message.id == alarm_) {
        replyMessage(message, true);
        return true;
    }
    if (message.id == sendCancel_) {
        message.payload.reset();
        if (sequencer_.state() == DownloadSequencer::kSkipPending) sequencer_.onSkip();
        if (isRunning()) watch_.progressed(position());
        return true;
    }
    return false;
}

void DialogCore::replyMessage(Message& message, bool alarm) {
    // The posted buffer is ours now: take its bytes and let it go before any step runs.
    ByteBuffer reply;
    if (message.payload) reply = std::move(*message.payload);
    message.payload.reset();

    // A reply too short to hold a code says nothing about the unit; one without a data byte
    // cannot tell ready from busy, so the code alone decides only where the data is ignored.
    if (!alarm && reply.size() > 2) {
        const std::uint8_t code = reply[2];
        if (reply.size() > 3 || code != unitframe::reply::kFlashStatus)
            recorder_.ShowUnitStatus(code, reply.at(3), sequencer_.state());
    }
    RunReport& report = run_.report();
    if (alarm) report.lastLinkError = linkErrorOf(message.detail);
    // A unit answers Reset only at its first requests after it is switched on: once it has
    // answered otherwise, a Reset is a unit that powered up since. Only noted; the run's own
    // steps take the reply as they would any other.
    if (!alarm && isRunning() && reply.size() > 2) {
        if (!unitframe::isReset(reply))
            answered_ = true;
        else if (answered_)
            report.poweredUp = true;
    }
    report.lastReply = replyInWords(reply, alarm);
    if (versionCheck_.active())
        versionCheck_.onVersionReply(reply, alarm);
    else
        sequencer_.onReply(reply);
    if (isRunning()) watch_.progressed(position());
}

RunWatch::Position DialogCore::position() const {
    return {sequencer_.state(), sequencer_.blocksDone(), versionCheck_.active() ? versionCheck_.step() : 0};
}

bool DialogCore::pumpOne(MessageQueue& queue, std::chrono::milliseconds timeout) {
    Message message;
    if (!queue.waitAndTake(message, timeout)) return false;
    handleMessage(message);
    return true;
}

void DialogCore::drainQueued(MessageQueue& queue) {
    Message message;
    while (queue.take(message)) handleMessage(message);
}

bool DialogCore::SelectDownloadFile(const std::string& path) {
    if (!beginDownloadFile()) return false;
    return finishDownloadFile(path, DownloadImage::read(path));
}

bool DialogCore::beginDownloadFile() {
    if (!controlsEnabled_) return false;  // as a drop on a busy window: ignored
    image_.clear();
    return true;
}

bool DialogCore::finishDownloadFile(const std::string& path, DownloadImage::File file) {
    // A read given up (the window closing) is no attempt: nothing to report.
    const bool cancelled = file.cancelled;
    if (const FileProblem problem = image_.take(std::move(file)); problem != FileProblem::None) {
        if (cancelled) return false;
        run_.open(RunKind::Download, {});
        run_.report().file = path;
        run_.report().fileProblem = problem;
        run_.refuse(Outcome::FileError);
        return false;
    }
    recorder_.SetProgressRange(image_.blockCount());
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", image_.fileCrc());
    recorder_.SetCrcText(crc);
    filePath_ = path;
    recorder_.SetFileNameText(path);
    return true;
}

// Disabled buttons cannot be pressed; a front without buttons gets the same rule here.
void DialogCore::StartDownload(const Connection& connection) {
    if (!controlsEnabled_) return;
    run_.open(RunKind::Download, connection);
    answered_ = false;
    if (image_.isLoaded()) run_.report().file = filePath_;
    watch_.start(position());
    sequencer_.start();
}

void DialogCore::StartVersionCheck(const Connection& connection) {
    if (!controlsEnabled_) return;
    run_.open(RunKind::VersionCheck, connection);
    answered_ = false;
    watch_.start(position());
    versionCheck_.startVersionCheck();
}

void DialogCore::stopRun(StopReason reason) {
    if (!isRunning()) return;
    RunReport::Stop stop{reason, watch_.limitOf(reason), watch_.stopCause(), {}};
    const auto stoppedAt = std::chrono::steady_clock::now();
    sequencer_.abandon();
    versionCheck_.abandon();
    run_.stopped(std::move(stop), stoppedAt);
}

void DialogCore::Recorder::RunEnded(const RunReport& report) {
    core.watch_.finish();
    core.lastReport_ = report;
    front.RunEnded(report);
}

void DialogCore::Recorder::EnableOperatorControls() {
    core.controlsEnabled_ = true;
    front.EnableOperatorControls();
}

void DialogCore::Recorder::DisableOperatorControls() {
    core.controlsEnabled_ = false;
    front.DisableOperatorControls();
}

void DialogCore::Recorder::ShowUnitStatus(std::uint8_t code, std::uint8_t data, std::uint32_t state) {
    front.ShowUnitStatus(code, data, state);
}
