#include "download/DownloadSequencer.h"

#include <cstdio>

#include "UnitFrames.h"
#include "download/DownloadImage.h"
#include "download/OperatorFeedback.h"
#include "download/UnitLink.h"

namespace {
constexpr std::array<std::uint8_t, 6> kVerifyRecord{};
const ByteBuffer kNoReply;

bool isResult(const ByteBuffer& r) { return unitframe::isResult00(r) || unitframe::isResult80(r); }
constexpr std::uint32_t kBlockSize = DownloadImage::kBlockSize;
}  // namespace

using S = DownloadSequencer;
using unitframe::isAck;
using unitframe::isBusy;
using unitframe::isDisable;
using unitframe::isReady;
using unitframe::isResult00;
using unitframe::isResult80;

// A poll that repeats a state's request after a counted reply keeps the retry pause (pollAgain):
// the limits count replies, and were sized for a poll about every 10 ms. Polls that count against
// nothing, and every Command, go out at once.
// clang-format off
const S::Row S::kRows[] = {
//   waiting state         moved on by then                      uncounted   then            otherwise again     limit                    failure
    {kWaitDisable,         isDisable,  &S::startDownload,         nullptr,    nullptr,        &S::pollAgain,      RunControl::kRetryLimit, Failure::NotDisabled},
    {kWaitStartAck,        isAck,      &S::startAcknowledged,     nullptr,    nullptr,        &S::startDownload,  RunControl::kRetryLimit, Failure::NoStartAck},
    {kWaitErased,          isReady,    &S::sendFirstBlock,        nullptr,    nullptr,        &S::pollAgain,      kEraseRetryLimit,        Failure::NotErased},
    {kWaitFirstBlockAck,   isAck,      &S::blockAcknowledged,     nullptr,    nullptr,        &S::sendFirstBlock, RunControl::kRetryLimit, Failure::NoFirstBlockAck},
    {kWaitReady,           isReady,    &S::nextBlock,             isBusy,     &S::poll,       &S::pollAgain,      RunControl::kRetryLimit, Failure::NoReady},
    {kWaitBlockAck,        isAck,      &S::blockAcknowledged,     nullptr,    nullptr,        &S::sendBlock,      RunControl::kRetryLimit, Failure::NoBlockAck},
    {kWaitLastBlockAck,    isAck,      &S::lastBlockAcknowledged, nullptr,    nullptr,        &S::sendLastBlock,  RunControl::kRetryLimit, Failure::NoLastBlockAck},
    {kWaitReadyAfterLast,  isReady,    &S::sendVerify,            nullptr,    nullptr,        &S::pollAgain,      RunControl::kRetryLimit, Failure::NotReadyAfterLast},
    {kWaitVerifyAck,       isAck,      &S::verifyAcknowledged,    nullptr,    nullptr,        &S::sendVerify,     RunControl::kRetryLimit, Failure::NoVerifyAck},
    {kWaitVerifyResult,    isResult,   &S::verifyResult,          nullptr,    nullptr,        &S::poll,           kNoLimit,                Failure{}},
    {kWaitDisableAfter00,  isDisable,  &S::succeed,               isResult00, &S::acknowledge, &S::poll,          kNoLimit,                Failure{}},
    {kWaitDisableAfter80,  isDisable,  &S::warn,                  isResult80, &S::acknowledge, &S::poll,          kNoLimit,                Failure{}},
};
// clang-format on

DownloadSequencer::DownloadSequencer(RunControl& run, const DownloadImage& image) : run_(run), image_(image) {}

void DownloadSequencer::start() {
    if (!image_.isLoaded()) {
        run_.refuse(Outcome::NoFileSelected);
        return;
    }
    RunReport& report = run_.report();
    report.imageLoaded = true;
    report.fileSize = image_.size();
    report.fileCrc = image_.fileCrc();
    report.blockCount = image_.blockCount();
    report.blankBlocks = image_.blankBlocks();
    if (!run_.link().isConnected() && !run_.connectUnit()) return;
    run_.link().disablePolling();
    run_.link().requestStatus();
    run_.begin();
    enter(kWaitDisable);
    run_.feedback().DisableOperatorControls();
    run_.feedback().SetProgress(0);
}

void DownloadSequencer::onReply(const ByteBuffer& reply) {
    for (const Row& row : kRows) {
        if (row.state != state_) continue;
        if (row.movesOn(reply))
            (this->*row.then)(reply);
        else if (row.takenUncounted && row.takenUncounted(reply))
            (this->*row.thenUncounted)(reply);
        else if (row.limit == kNoLimit)
            (this->*row.again)(reply);
        else if (counters_[state_].retry(row.limit)) {
            ++run_.report().retries[state_];
            (this->*row.again)(reply);
        } else
            fail(row.failure);
        return;
    }
    // Idle, or a blank block is being passed over: replies are ignored.
}

void DownloadSequencer::onSkip() {
    if (state_ == kSkipPending) nextBlock(kNoReply);
}

void DownloadSequencer::enter(State next) {
    if (next != state_) counters_[next].reset();
    state_ = next;
    run_.report().lastState = next;
}

void DownloadSequencer::abandon() { state_ = kIdle; }

void DownloadSequencer::finish(Outcome outcome) {
    state_ = kIdle;  // idle before the box is up
    run_.end(outcome);
}

void DownloadSequencer::fail(Failure failure) {
    state_ = kIdle;  // already idle while the box is up
    run_.fail(failure);
}

void DownloadSequencer::poll(const ByteBuffer&) { run_.link().requestStatus(); }
void DownloadSequencer::pollAgain(const ByteBuffer&) { run_.link().retryStatus(); }

void DownloadSequencer::startDownload(const ByteBuffer&) {
    run_.link().sendStartDownload();
    enter(kWaitStartAck);
}

void DownloadSequencer::startAcknowledged(const ByteBuffer& reply) {
    enter(kWaitErased);
    poll(reply);
}

void DownloadSequencer::sendFirstBlock(const ByteBuffer&) {
    offset_ = 0;
    blocksDone_ = 0;
    // A file shorter than one block goes out whole, never read past its end.
    run_.link().sendWriteBlock(0, image_.blockAt(0, kBlockSize));
    enter(kWaitFirstBlockAck);
}

void DownloadSequencer::blockAcknowledged(const ByteBuffer& reply) {
    ++run_.report().blocksSent;
    enter(kWaitReady);
    poll(reply);
}

// The unit is ready after a block (or a blank block was passed over): cut the next one. The first
// block is always sent; the blank test applies only to the blocks cut here.
void DownloadSequencer::nextBlock(const ByteBuffer& reply) {
    offset_ += kBlockSize;
    ++blocksDone_;
    run_.report().blocksDone = blocksDone_;
    run_.feedback().SetProgress(blocksDone_);
    if (blocksDone_ >= image_.blockCount()) {
        // The file ended on a full block (sent or blank): the unit is ready, so verify now.
        sendVerify(reply);
    } else if (image_.size() < offset_ + kBlockSize) {
        sendLastBlock(reply);  // sent even when blank
    } else if (DownloadImage::isBlank(image_.blockAt(offset_, kBlockSize))) {
        // Nothing goes to the unit; the posted message comes back after what is already queued.
        enter(kSkipPending);
        run_.feedback().PostSendCancel();
    } else {
        sendBlock(reply);
    }
}

void DownloadSequencer::sendBlock(const ByteBuffer&) {
    run_.link().sendWriteBlock(offset_, image_.blockAt(offset_, kBlockSize));
    enter(kWaitBlockAck);
}

void DownloadSequencer::sendLastBlock(const ByteBuffer&) {
    run_.link().sendWriteBlock(offset_, image_.blockAt(offset_, image_.size() - offset_));
    enter(kWaitLastBlockAck);
}

void DownloadSequencer::lastBlockAcknowledged(const ByteBuffer& reply) {
    ++run_.report().blocksSent;
    enter(kWaitReadyAfterLast);
    poll(reply);
}

void DownloadSequencer::sendVerify(const ByteBuffer&) {
    run_.link().sendVerify(kVerifyRecord);
    enter(kWaitVerifyAck);
}

void DownloadSequencer::verifyAcknowledged(const ByteBuffer& reply) {
    enter(kWaitVerifyResult);
    poll(reply);
}

// The acknowledgement and a poll go out together; both replies are met in state 11 or 12.
void DownloadSequencer::verifyResult(const ByteBuffer& reply) {
    enter(isResult00(reply) ? kWaitDisableAfter00 : kWaitDisableAfter80);
    RunReport& report = run_.report();
    report.verifyResult = reply.at(3);
    report.unitCrc5 = reply.at(5);
    report.unitCrc4 = reply.at(4);
    acknowledge(reply);
    poll(reply);
}

void DownloadSequencer::acknowledge(const ByteBuffer&) { run_.link().sendAck(); }

void DownloadSequencer::succeed(const ByteBuffer&) {
    // The bar stands one short through the verify when the last block is short: all were done.
    run_.report().blocksDone = image_.blockCount();
    finish(Outcome::Success);
    run_.feedback().SetProgress(0);
}

void DownloadSequencer::warn(const ByteBuffer&) { finish(Outcome::Warning); }
