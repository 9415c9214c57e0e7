#include "download/OperatorFeedback.h"

#include "UnitFrames.h"
#include "UnitLoaderVersion.h"
#include "session/Messages.h"

std::string stringResource(int id) {
    switch (id) {
    case kStrTitle: return UL_TITLE;
    case kStrCommInitFailed: return "Failed in the initialization of the communication port.";
    case kStrFileOpenError: return "File Open Error";
    case kStrMemoryError: return "Memory Allocate Error";
    default: return {};
    }
}

std::optional<std::string> statusLineFor(std::uint8_t code, std::uint8_t data, std::uint32_t state) {
    namespace reply = unitframe::reply;
    switch (code) {
    case reply::kDisable: return "Disable";
    case reply::kReset: return "Reset";
    case reply::kAck: return std::string();
    case reply::kFlashStatus:
        if (data == reply::kReady) {
            // Ready reads as the end of erasing before the first block and as block progress up to
            // the verify; busy as erasing early on and as verifying late.
            if (state <= 3) return "Deleting";
            if (state >= 5 && state <= 9) return "Downloading";
            return std::nullopt;
        }
        if (state <= 5) return "Deleting";
        if (state >= 10) return "Verifying";
        return std::nullopt;
    default: return std::nullopt;
    }
}

void OperatorFeedback::RunEnded(const RunReport& report) { showReportBox(report.box, *this); }

void OperatorFeedback::ShowUnitStatus(std::uint8_t code, std::uint8_t data, std::uint32_t state) {
    if (auto text = statusLineFor(code, data, state)) SetStatusText(*text);
}

void HeadlessFeedback::PostSendCancel() {
    if (window_) window_->postMessage(registerMessage(msgname::kSendCancel), nullptr);
}
