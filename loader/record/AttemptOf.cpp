#include "AttemptOf.h"

#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>

#include "SerialDevices.h"
#include "UnitLoaderVersion.h"

namespace {

std::string hex(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string hex4(std::uint16_t v) {
    char t[8];
    std::snprintf(t, sizeof t, "%04X", v);
    return t;
}

std::string retriesText(const RunReport& r) {
    std::string text;
    for (std::size_t s = 0; s < r.retries.size(); ++s)
        if (r.retries[s]) text += (text.empty() ? "" : " ") + std::to_string(s) + ":" + std::to_string(r.retries[s]);
    return text;
}

}  // namespace

std::string newAttemptId() {
    std::random_device random;
    unsigned char bytes[16];
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return hex(bytes, sizeof bytes);
}

std::string isoTime(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr)) return {};
    return hex(digest, n);
}

std::string stablePortId(const std::string& port) {
    std::error_code ec;
    const auto device = std::filesystem::weakly_canonical(port, ec);
    if (ec) return {};
    for (const SerialPortInfo& info : listSerialPorts()) {
        if (info.device != device.string()) continue;
        std::string id = info.byId.empty() ? info.device : info.byId.front();
        if (!info.description.empty()) id += " (" + info.description + ")";
        return id;
    }
    return device.string();
}

std::string loginName() {
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_name) return entry->pw_name;
    if (const char* user = std::getenv("USER"); user && *user) return user;
    return std::to_string(::getuid());
}

std::string stationName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
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
    return a;
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
    return a;
}
