#include "DialogCore.h"

#include <cstdio>

#include "UnitFrames.h"

DialogCore::DialogCore(OperatorFeedback& feedback, WindowPoster& window, UnitLink& link)
    : DialogCore(feedback, window, nullptr, &link) {}

DialogCore::DialogCore(OperatorFeedback& feedback, WindowPoster& window, std::unique_ptr<UnitLink> owned,
                       UnitLink* link)
    : recorder_(feedback, controlsEnabled_),
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
    if (versionCheck_.active())
        versionCheck_.onVersionReply(reply, alarm);
    else
        sequencer_.onReply(reply);
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
    if (!image_.take(std::move(file), recorder_)) {
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
void DialogCore::StartDownload() {
    if (controlsEnabled_) sequencer_.start();
}

void DialogCore::StartVersionCheck() {
    if (controlsEnabled_) versionCheck_.startVersionCheck();
}

void DialogCore::Recorder::EnableOperatorControls() {
    controlsEnabled = true;
    front.EnableOperatorControls();
}

void DialogCore::Recorder::DisableOperatorControls() {
    controlsEnabled = false;
    front.DisableOperatorControls();
}

void DialogCore::Recorder::ShowUnitStatus(std::uint8_t code, std::uint8_t data, std::uint32_t state) {
    front.ShowUnitStatus(code, data, state);
}

void DialogCore::Recorder::ShowTableMessage(int id) {
    lastBox = Box{Box::Table, stringResource(kStrTitle), stringResource(id), id};
    front.ShowTableMessage(id);
}

void DialogCore::Recorder::ShowInfoMessage(const std::string& text) {
    lastBox = Box{Box::Info, stringResource(kStrTitle), text, 0};
    front.ShowInfoMessage(text);
}

void DialogCore::Recorder::ShowMessagePair(const std::string& caption, const std::string& text) {
    pairCaption = caption;
    pairText = text;
    lastBox = Box{Box::Pair, caption, text, 0};
    front.ShowMessagePair(caption, text);
}
