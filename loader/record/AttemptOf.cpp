#include "AttemptOf.h"

#include <cstdio>
#include <random>

#include "UnitLoaderVersion.h"

std::string hexDigits(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

namespace {

std::string hex4(std::uint16_t v) {
    char t[8];
    std::snprintf(t, sizeof t, "%04X", v);
    return t;
}

std::string retriesText(const RunReport& r) {
    std::string text;
    // Appended piece by piece: g++ 12 at -O3 takes a temporary's concatenation here for an
    // overlapping copy (-Wrestrict) and the build stops.
    for (std::size_t s = 0; s < r.retries.size(); ++s) {
        if (!r.retries[s]) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(s);
        text += ':';
        text += std::to_string(r.retries[s]);
    }
    return text;
}

}  // namespace

std::string newAttemptId() {
    std::random_device random;
    unsigned char bytes[16];
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return hexDigits(bytes, sizeof bytes);
}

std::string isoTime(std::chrono::system_clock::time_point t) {
    // The civil calendar of <chrono>: no gmtime, which differs between the platforms.
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

Attempt begunAttempt(RunKind kind, const AttemptContext& c, std::int32_t baud, const std::string& file,
                     std::uint32_t fileSize, std::uint16_t fileCrc, std::uint32_t blankBlocks) {
    Attempt a;
    a.id = c.id;
    a.kind = kind == RunKind::Download ? "download" : "version";
    a.started_at = isoTime(std::chrono::system_clock::now());
    a.station = stationName();
    a.operator_ = c.operatorName;
    a.unit_id = c.unitId;
    a.port = c.port;
    a.port_id = c.portId;
    a.baud = baud;
    if (kind == RunKind::Download) {
        a.file = file;
        if (!file.empty() && !c.fileSha256.empty()) {
            a.file_size = fileSize;
            a.file_sha256 = c.fileSha256;
            a.file_crc = hex4(fileCrc);
            a.blank_blocks = blankBlocks;
        }
    }
    a.loader_version = UL_VERSION;
    a.note = c.note;
    a.verdict_id = c.verdictId;
    return withValidText(std::move(a));
}

Attempt endedAttempt(const RunReport& r, const AttemptContext& c, const std::string& outcome, int exitCode) {
    Attempt a = begunAttempt(r.kind, c, r.connection.baud, r.file, r.fileSize, r.fileCrc, r.blankBlocks);
    if (!r.imageLoaded) {
        a.file_size.reset();
        a.file_sha256.clear();
        a.file_crc.clear();
        a.blank_blocks.reset();
    }
    a.started_at = isoTime(r.startedAt);
    a.ended_at = isoTime(r.endedAt);
    a.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.duration).count();
    a.outcome = outcome;
    a.exit_code = exitCode;
    a.box_caption = r.box.caption;
    a.box_text = r.box.text;
    if (r.verifyResult) {
        char text[16];
        std::snprintf(text, sizeof text, "%02X%02X", r.unitCrc5, r.unitCrc4);
        a.unit_crc = text;
        std::snprintf(text, sizeof text, "D3 %02X", *r.verifyResult);
        a.verify_result = text;
    }
    a.unit_version = r.unitVersion;
    a.retries = retriesText(r);
    if (r.lastLinkError != LinkError::None) a.link_error = std::string(linkErrorName(r.lastLinkError));
    return withValidText(std::move(a));
}
