#include "AttemptRecorder.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "download/ExitCode.h"

AttemptRecorder::AttemptRecorder(std::unique_ptr<RecordStore> store, AttemptPeople people, std::string port)
    : store_(std::move(store)), people_(std::move(people)), port_(std::move(port)) {}

std::optional<std::string> AttemptRecorder::begin(RunKind kind, std::int32_t baud, const std::string& file,
                                                  const DownloadImage* image) {
    AttemptContext c;
    c.id = people_.attemptId.empty() ? newAttemptId() : people_.attemptId;
    c.verdictId = people_.verdictId;
    c.operatorName = people_.operatorName.empty() ? loginName() : people_.operatorName;
    c.unitId = people_.unitId;
    c.port = port_;
    c.portId = stablePortId(port_);
    c.note = people_.note;
    std::uint32_t size = 0, blank = 0;
    std::uint16_t crc = 0;
    if (image && image->isLoaded()) {
        c.fileSha256 = sha256Hex(image->bytes().bytes());
        size = image->size();
        crc = image->fileCrc();
        blank = image->blankBlocks();
    }
    context_ = c;
    try {
        store_->begin(begunAttempt(kind, c, baud, file, size, crc, blank));
    } catch (const RecordError& e) {
        return e.what();
    }
    begun_ = true;
    return std::nullopt;
}

namespace {
// A full disk or a file held by another program may clear up in a moment; the run's outcome
// waits that long for its record, and no longer.
constexpr std::chrono::seconds kEndRetryFor{5};
constexpr std::chrono::milliseconds kEndRetryPause{250};
}  // namespace

std::optional<std::string> AttemptRecorder::end(const RunReport& report, int exitCode) {
    if (!begun_) return std::nullopt;
    begun_ = false;
    const Attempt ended = endedAttempt(report, context_, exitcode::name(exitCode), exitCode);
    const auto until = std::chrono::steady_clock::now() + kEndRetryFor;
    for (;;) {
        try {
            store_->end(ended);
            return std::nullopt;
        } catch (const RecordError& e) {
            // An attempt that has ended already will not be changed by trying again.
            if (e.kind() == RecordError::Kind::Other || std::chrono::steady_clock::now() >= until)
                return "attempt " + ended.id + ": " + e.what();
        }
        std::this_thread::sleep_for(kEndRetryPause);
    }
}

std::string recordsPathOf(const std::string& given, const std::string& settingsValue) {
    if (!given.empty()) return given;
    if (const char* env = std::getenv("UNIT_LOADER_RECORDS"); env && *env) return env;
    if (!settingsValue.empty()) return settingsValue;
    return defaultRecordsPath();
}
