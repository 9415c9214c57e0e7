#include "DownloadSequencer.h"

#include <boost/lexical_cast.hpp>
#include <cstdio>

#include "DownloadImage.h"
#include "OperatorFeedback.h"
#include "UnitLink.h"
#include "UnitSession.h"

namespace {
constexpr std::uint32_t kRetryLimit = 10;
constexpr std::uint32_t kEraseRetryLimit = 50;  // erasing the flash takes many polls
constexpr std::int32_t kDefaultBaud = 9600;
constexpr std::size_t kPortTextMax = 255;
constexpr std::array<std::uint8_t, 6> kVerifyRecord{};

const std::string kNoAck = "No Ack message from Acceptor";
const std::string kVerifyConnection = "Verify unit connection to PC";
const std::string kMayRestart = "Download process may need to be restarted";
const std::string kForced = "(Forced download method)";
const std::string kConnectedOn = "Make sure unit is connected and turned on.";
const std::string kNotEnabled = "Make sure unit is not enabled.";

std::string crcLines(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "CRC:%02X%02X\nFILE-CRC:%04X", unitCrc5, unitCrc4, fileCrc);
    return buf;
}
}  // namespace

BoxText failureBox(Failure failure) {
    const BoxText noAck{"ERROR:Premature Termination",
                        kNoAck + "\n\n" + kVerifyConnection + "\n" + kMayRestart + "\n" + kForced};
    const std::string restart = kMayRestart + "\n" + kForced;
    switch (failure) {
    case Failure::F1: return {"ERROR:Unit is not disabled/connected", kConnectedOn + "\n" + kNotEnabled};
    case Failure::F2: return noAck;
    case Failure::F3: return {"ERROR:Unit is not disabled/connected", kNotEnabled + "\n" + kConnectedOn};
    case Failure::F4: return {"ERROR:Communication Error.", restart};
    case Failure::F5:
        return {"ERROR:Premature Termination",
                "No Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
                "Verify the unit has Flash ROM\n" +
                    kVerifyConnection + "\nDownload process need to be restarted\n" + kForced};
    case Failure::F6: return noAck;
    case Failure::F7: return noAck;
    case Failure::F8: return {"ERROR:Communication Error", restart};
    case Failure::F9: return {"ERROR:No Ack from Acceptor", kVerifyConnection + "\n" + restart};
    }
    return {};
}

std::string successText(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc) {
    return "The target file was downloaded successfully\n" + crcLines(unitCrc5, unitCrc4, fileCrc);
}

BoxText warningBox(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc) {
    return {"Premature Termination",
            "Following download status did not returned to disable\n\n"
            "File may have been completely loaded, check the unit.\n"
            "If unit does not function, download again.\n\n" +
                crcLines(unitCrc5, unitCrc4, fileCrc)};
}

DownloadSequencer::DownloadSequencer(UnitLink& link, const DownloadImage& image, OperatorFeedback& feedback,
                                     WindowPoster& window)
    : link_(link), image_(image), feedback_(feedback), window_(window) {}

void DownloadSequencer::start() {
    if (!image_.isLoaded()) {
        feedback_.ShowMessagePair("ERROR: Download file is not selected", "Select a valid software.");
        return;
    }
    if (!link_.isConnected() && !connectUnit()) return;
    link_.disablePolling();
    link_.requestStatus();
    state_ = kWaitDisable;
    feedback_.DisableOperatorControls();
    counters_.fill(0);
    feedback_.SetProgress(0);
}

bool DownloadSequencer::connectUnit() {
    std::string port = feedback_.PortText();
    if (port.size() > kPortTextMax) port.resize(kPortTextMax);
    std::int32_t baud = kDefaultBaud;
    try {
        baud = boost::lexical_cast<std::int32_t>(feedback_.BaudText());
    } catch (const boost::bad_lexical_cast&) {
        baud = kDefaultBaud;
    }
    if (link_.connect(window_, port, baud)) {
        feedback_.DisablePortAndBaudLists();
        return true;
    }
    feedback_.ShowTableMessage(kStrCommInitFailed);
    return false;
}

bool DownloadSequencer::countRetry(int n) {
    const std::uint32_t limit = n == 3 ? kEraseRetryLimit : kRetryLimit;
    auto& counter = counters_.at(n);
    if (counter >= limit) return false;
    ++counter;
    return true;
}

void DownloadSequencer::sendFirstBlock() {
    offset_ = 0;
    blocksDone_ = 0;
    // A file shorter than one block goes out whole, never read past its end.
    link_.sendWriteBlock(0, image_.blockAt(0, DownloadImage::kBlockSize));
}

void DownloadSequencer::sendVerify() {
    link_.sendVerify(kVerifyRecord);
    counters_[9] = 0;
    state_ = kWaitVerifyAck;
}

void DownloadSequencer::onReply(const ByteBuffer& r) {
    switch (state_) {
    case kWaitDisable:
        if (UnitSession::isDisable(r)) {
            link_.sendStartDownload();
            counters_[2] = 0;
            state_ = kWaitStartAck;
        } else if (countRetry(1)) {
            link_.requestStatus();
        } else {
            endWithFailure(Failure::F1);
        }
        break;
    case kWaitStartAck:
        if (UnitSession::isAck(r)) {
            counters_[3] = 0;
            state_ = kWaitErased;
            link_.requestStatus();
        } else if (countRetry(2)) {
            link_.sendStartDownload();
        } else {
            endWithFailure(Failure::F2);
        }
        break;
    case kWaitErased:
        if (UnitSession::isReady(r)) {
            sendFirstBlock();
            counters_[4] = 0;
            state_ = kWaitFirstBlockAck;
        } else if (countRetry(3)) {
            link_.requestStatus();
        } else {
            endWithFailure(Failure::F3);
        }
        break;
    case kWaitFirstBlockAck:
        if (UnitSession::isAck(r)) {
            state_ = kWaitReady;
            link_.requestStatus();
            counters_[5] = 0;
        } else if (countRetry(4)) {
            sendFirstBlock();
        } else {
            endWithFailure(Failure::F4);
        }
        break;
    case kWaitReady:
        if (UnitSession::isReady(r)) {
            advance();
        } else if (UnitSession::isBusy(r)) {
            link_.requestStatus();  // still writing the flash; no limit
        } else if (countRetry(5)) {
            link_.requestStatus();
        } else {
            endWithFailure(Failure::F5);
        }
        break;
    case kWaitBlockAck:
        if (UnitSession::isAck(r)) {
            state_ = kWaitReady;
            link_.requestStatus();
            counters_[5] = 0;
        } else if (countRetry(6)) {
            link_.sendWriteBlock(offset_, image_.blockAt(offset_, DownloadImage::kBlockSize));
        } else {
            endWithFailure(Failure::F6);
        }
        break;
    case kWaitLastBlockAck:
        if (UnitSession::isAck(r)) {
            counters_[8] = 0;
            state_ = kWaitReadyAfterLast;
            link_.requestStatus();
        } else if (countRetry(7)) {
            link_.sendWriteBlock(offset_, image_.blockAt(offset_, image_.size() - offset_));
        } else {
            endWithFailure(Failure::F7);
        }
        break;
    case kWaitReadyAfterLast:
        if (UnitSession::isReady(r)) {
            sendVerify();
        } else if (countRetry(8)) {
            link_.requestStatus();
        } else {
            endWithFailure(Failure::F8);
        }
        break;
    case kWaitVerifyAck:
        if (UnitSession::isAck(r)) {
            state_ = kWaitVerifyResult;
            link_.requestStatus();
        } else if (countRetry(9)) {
            link_.sendVerify(kVerifyRecord);
        } else {
            endWithFailure(Failure::F9);
        }
        break;
    case kWaitVerifyResult:
        if (UnitSession::isResult00(r) || UnitSession::isResult80(r)) {
            state_ = UnitSession::isResult00(r) ? kWaitDisableAfter00 : kWaitDisableAfter80;
            unitCrc5_ = r.at(5);
            unitCrc4_ = r.at(4);
            link_.sendAck();
        }
        link_.requestStatus();
        break;
    case kWaitDisableAfter00:
        if (UnitSession::isDisable(r))
            endWithSuccess();
        else if (UnitSession::isResult00(r))
            link_.sendAck();
        else
            link_.requestStatus();
        break;
    case kWaitDisableAfter80:
        if (UnitSession::isDisable(r))
            endWithWarning();
        else if (UnitSession::isResult80(r))
            link_.sendAck();
        else
            link_.requestStatus();
        break;
    default:  // idle, or a blank block is being passed over
        break;
    }
}

void DownloadSequencer::onSkip() {
    if (state_ == kSkipPending) advance();
}

void DownloadSequencer::advance() {
    offset_ += DownloadImage::kBlockSize;
    ++blocksDone_;
    feedback_.SetProgress(blocksDone_);
    if (blocksDone_ >= image_.blockCount()) {
        // The file ended on a full block (sent or blank): the unit is ready, so verify now.
        sendVerify();
        return;
    }
    if (image_.size() < offset_ + DownloadImage::kBlockSize) {
        counters_[7] = 0;
        state_ = kWaitLastBlockAck;
        link_.sendWriteBlock(offset_, image_.blockAt(offset_, image_.size() - offset_));
        return;
    }
    ByteBuffer block = image_.blockAt(offset_, DownloadImage::kBlockSize);
    if (DownloadImage::isBlank(block)) {
        state_ = kSkipPending;
        feedback_.PostSendCancel();
        return;
    }
    counters_[6] = 0;
    state_ = kWaitBlockAck;
    link_.sendWriteBlock(offset_, block);
}

void DownloadSequencer::commonEnd() {
    link_.disablePolling();
    link_.disconnect();
    feedback_.EnableOperatorControls();
    feedback_.SetStatusText("");
    state_ = kIdle;
}

void DownloadSequencer::endWithFailure(Failure failure) {
    commonEnd();
    const BoxText box = failureBox(failure);
    feedback_.ShowMessagePair(box.caption, box.text);
}

void DownloadSequencer::endWithSuccess() {
    commonEnd();
    feedback_.ShowInfoMessage(successText(unitCrc5_, unitCrc4_, image_.fileCrc()));
    feedback_.SetProgress(0);
}

void DownloadSequencer::endWithWarning() {
    commonEnd();
    const BoxText box = warningBox(unitCrc5_, unitCrc4_, image_.fileCrc());
    feedback_.ShowMessagePair(box.caption, box.text);
}
