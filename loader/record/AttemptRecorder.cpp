#include "AttemptRecorder.h"

#include <cstdlib>

#include "download/ExitCode.h"

AttemptRecorder::AttemptRecorder(std::unique_ptr<RecordStore> store, AttemptPeople people, std::string port)
    : store_(std::move(store)), people_(std::move(people)), port_(std::move(port)) {}

std::optional<std::string> AttemptRecorder::begin(RunKind kind, std::int32_t baud, const std::string& file,
                                                  const DownloadImage* image) {
    AttemptContext c;
    c.id = newAttemptId();
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

std::optional<std::string> AttemptRecorder::end(const RunReport& report, int exitCode) {
    if (!begun_) return std::nullopt;
    begun_ = false;
    try {
        store_->end(endedAttempt(report, context_, exitcode::name(exitCode), exitCode));
    } catch (const RecordError& e) {
        return e.what();
    }
    return std::nullopt;
}

std::string recordsPathOf(const std::string& given, const std::string& settingsValue) {
    if (!given.empty()) return given;
    if (const char* env = std::getenv("UNIT_LOADER_RECORDS"); env && *env) return env;
    if (!settingsValue.empty()) return settingsValue;
    return defaultRecordsPath();
}
