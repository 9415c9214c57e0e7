// The one place where a run's outcome becomes the box the operator reads.
#include <boost/lexical_cast.hpp>
#include <cstdio>
#include <iterator>

#include "ByteBuffer.h"
#include "UnitFrames.h"
#include "download/DownloadSequencer.h"
#include "download/OperatorFeedback.h"
#include "download/RunReport.h"

namespace {
using namespace std::chrono_literals;

// A stop that takes longer than this to take effect is worth a word in the text.
constexpr auto kNoticeableWait = 500ms;
constexpr std::size_t kPortTextMax = 255;

const std::string kNoAck = "No Ack message from Acceptor";
const std::string kVerifyConnection = "Verify unit connection to PC";
const std::string kMayRestart = "Download process may need to be restarted";
const std::string kForced = "(Forced download method)";
const std::string kConnectedOn = "Make sure unit is connected and turned on.";
const std::string kNotEnabled = "Make sure unit is not enabled.";
const std::string kSelectValid = "Select a valid software.";

std::string crcLines(std::uint8_t unitCrc5, std::uint8_t unitCrc4, std::uint16_t fileCrc) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "CRC:%02X%02X\nFILE-CRC:%04X", unitCrc5, unitCrc4, fileCrc);
    return buf;
}

ReportBox table(int id) { return {ReportBox::Kind::Table, id, stringResource(kStrTitle), stringResource(id)}; }
ReportBox pair(BoxText box) { return {ReportBox::Kind::Pair, 0, std::move(box.caption), std::move(box.text)}; }

std::string seconds1(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string secondsG(std::chrono::milliseconds limit) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::chrono::duration<double>(limit).count());
    return text;
}

std::string what(const RunReport& r) { return r.kind == RunKind::Download ? "download" : "version check"; }

// The line that closes a stopped run. Once the download start has gone out the unit stays in
// download mode, and a new download meets it there (F1 at once) unless it is switched off and on.
std::string closingLine(const RunReport& r) {
    if (r.kind != RunKind::Download) return "The session was closed.";
    if (r.lastState <= DownloadSequencer::kWaitDisable) return "The session was closed; download again.";
    return "The session was closed. The unit may still be in download mode: switch it off and on before the "
           "next download.";
}

BoxText stopBox(const RunReport& r) {
    const RunReport::Stop& stop = *r.stop;
    BoxText box;
    bool tellTook = true;
    switch (stop.reason) {
    case StopReason::Interrupted:
        box = {"Interrupted",
               "The " + what(r) + " was stopped " + stop.cause + ", " + waitingFor(r) + ".\n" + closingLine(r)};
        break;
    case StopReason::Stalled:
        box = {"No progress", "The " + what(r) + " made no progress for " + secondsG(stop.limit) + " s, " +
                                  waitingFor(r) + "; the unit kept answering " + r.lastReply + ".\n" + closingLine(r)};
        break;
    case StopReason::TimedOut: {
        box = {"Time-out", "The " + what(r) + " did not end within " + secondsG(stop.limit) + " s, " + waitingFor(r) +
                               ".\n" + closingLine(r)};
        // The exchange in progress may have taken much longer than the limit.
        const bool late = r.duration - stop.limit >= kNoticeableWait;
        box.text.insert(box.text.find(".\n"), "; it was stopped after " + seconds1(r.seconds()) + " s" +
                                                  (late ? ", when the exchange in progress had ended" : ""));
        tellTook = false;
        break;
    }
    }
    if (tellTook && stop.took >= kNoticeableWait && box.text.find('\n') != std::string::npos)
        box.text.insert(box.text.find('\n') + 1, "The exchange in progress took " +
                                                     seconds1(std::chrono::duration<double>(stop.took).count()) +
                                                     " s to end.\n");
    return box;
}
}  // namespace

Connection Connection::fromTexts(const std::string& port, const std::string& baudText) {
    Connection c{port.substr(0, kPortTextMax), kDefaultBaud};
    try {
        c.baud = boost::lexical_cast<std::int32_t>(baudText);
    } catch (const boost::bad_lexical_cast&) {
        c.baud = kDefaultBaud;
    }
    return c;
}

BoxText failureBox(Failure failure) {
    const BoxText noAck{"ERROR:Premature Termination",
                        kNoAck + "\n\n" + kVerifyConnection + "\n" + kMayRestart + "\n" + kForced};
    const std::string restart = kMayRestart + "\n" + kForced;
    switch (failure) {
    case Failure::NotDisabled: return {"ERROR:Unit is not disabled/connected", kConnectedOn + "\n" + kNotEnabled};
    case Failure::NoStartAck: return noAck;
    case Failure::NotErased: return {"ERROR:Unit is not disabled/connected", kNotEnabled + "\n" + kConnectedOn};
    case Failure::NoFirstBlockAck: return {"ERROR:Communication Error.", restart};
    case Failure::NoReady:
        return {"ERROR:Premature Termination",
                "No Ready/Busy message from Acceptor\n\nVerify a valid software is selected\n"
                "Verify the unit has Flash ROM\n" +
                    kVerifyConnection + "\nDownload process need to be restarted\n" + kForced};
    case Failure::NoBlockAck: return noAck;
    case Failure::NoLastBlockAck: return noAck;
    case Failure::NotReadyAfterLast: return {"ERROR:Communication Error", restart};
    case Failure::NoVerifyAck: return {"ERROR:No Ack from Acceptor", kVerifyConnection + "\n" + restart};
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

ReportBox fileProblemBox(FileProblem problem) {
    switch (problem) {
    case FileProblem::None: return {};
    case FileProblem::OpenError: return table(kStrFileOpenError);
    case FileProblem::MemoryError: return table(kStrMemoryError);
    case FileProblem::Invalid: return pair({"ERROR: Invalid download file", kSelectValid});
    }
    return {};
}

std::string boxHeadline(const ReportBox& box) {
    if (box.kind == ReportBox::Kind::Pair) return box.caption;
    return box.text.substr(0, box.text.find('\n'));
}

ReportBox reportBox(const RunReport& r) {
    switch (r.outcome) {
    case Outcome::None:
    case Outcome::Running: return {};
    case Outcome::Success:
        if (r.kind != RunKind::Download) return {};  // the version is in its field
        return {ReportBox::Kind::Info, 0, stringResource(kStrTitle), successText(r.unitCrc5, r.unitCrc4, r.fileCrc)};
    case Outcome::Warning: return pair(warningBox(r.unitCrc5, r.unitCrc4, r.fileCrc));
    case Outcome::Failed: return r.failure ? pair(failureBox(*r.failure)) : ReportBox{};
    case Outcome::ConnectionFailure: return table(kStrCommInitFailed);
    case Outcome::FileError: return fileProblemBox(r.fileProblem);
    case Outcome::NoFileSelected: return pair({"ERROR: Download file is not selected", kSelectValid});
    case Outcome::TimedOut:
    case Outcome::Stalled:
    case Outcome::Interrupted: return r.stop ? pair(stopBox(r)) : ReportBox{};
    }
    return {};
}

std::string waitingFor(const RunReport& r) {
    if (r.kind == RunKind::VersionCheck)
        return r.versionStep == 1 ? "waiting for Disable before the version request" : "waiting for the version reply";
    static const char* const kDownload[] = {
        "idle",
        "waiting for Disable",
        "waiting for the acknowledgement of the download start",
        "waiting for the unit to finish erasing",
        "waiting for the acknowledgement of the first block",
        "waiting for ready after a block",
        "waiting for the acknowledgement of a block",
        "waiting for the acknowledgement of the last block",
        "waiting for ready after the last block",
        "waiting for the acknowledgement of the verify command",
        "waiting for the verify result",
        "waiting for Disable after the verify result D3 00",
        "waiting for Disable after the verify result D3 80",
        "passing over a blank block",
    };
    return r.lastState < std::size(kDownload) ? kDownload[r.lastState] : "in state " + std::to_string(r.lastState);
}

std::string replyInWords(const ByteBuffer& r, bool alarm) {
    if (alarm) return "nothing valid (the requests failed)";
    if (r.size() < 3) return "a frame too short to hold a code";
    namespace code = unitframe::reply;
    // The reply comes whole, check bytes included: byte 3 is data only in a frame longer than 5.
    char hex[16];
    if (r.size() > 3 && r[1] > unitframe::kSmallestFrame)
        std::snprintf(hex, sizeof hex, "%02X %02X", r[2], r[3]);
    else
        std::snprintf(hex, sizeof hex, "%02X", r[2]);
    const std::string bytes = std::string(" (") + hex + ")";
    if (unitframe::isBusy(r)) return "busy" + bytes;
    if (unitframe::isReady(r)) return "ready" + bytes;
    if (unitframe::isResult00(r) || unitframe::isResult80(r)) return "the verify result" + bytes;
    switch (r[2]) {
    case code::kDisable: return "Disable (1A)";
    case code::kReset: return "Reset (40)";
    case code::kAck: return "an acknowledgement (50)";
    case code::kVersion: return "a version reply (84)";
    default: return std::string("code ") + hex;
    }
}

void showReportBox(const ReportBox& box, OperatorFeedback& feedback) {
    switch (box.kind) {
    case ReportBox::Kind::None: break;
    case ReportBox::Kind::Table: feedback.ShowTableMessage(box.stringId); break;
    case ReportBox::Kind::Info: feedback.ShowInfoMessage(box.text); break;
    case ReportBox::Kind::Pair: feedback.ShowMessagePair(box.caption, box.text); break;
    }
}

ReportBox recordRefusedBox(const std::string& why) {
    return {ReportBox::Kind::Pair, 0, "Record error",
            "The attempt could not be recorded, so nothing was sent to the unit.\n" + why};
}

ReportBox imageMismatchBox(const std::string& expectedSha256, const std::string& foundSha256) {
    return {ReportBox::Kind::Pair, 0, "Image mismatch",
            "The download file is not the image expected, so nothing was sent to the unit.\nSHA-256 expected: " +
                expectedSha256 + "\nSHA-256 of the file: " + foundSha256};
}

ReportBox recordEndFailedBox(const std::string& why) {
    return {ReportBox::Kind::Pair, 0, "Record error", "The end of the attempt could not be recorded.\n" + why};
}
