#include "units/ChildEvent.h"

#include <nlohmann/json.hpp>

#include "SafeText.h"

std::string ChildEvent::toLine() const {
    nlohmann::json j{{"v", kVersion}};
    if (kind == Kind::Progress) {
        j["event"] = "progress";
        j["blockCount"] = blockCount;
        j["bytes"] = bytes;
        j["blocksDone"] = blocksDone;
        j["status"] = safetext::utf8Escaped(status);
    } else {
        j["event"] = "result";
        j["result"] = toJson(result);
        j["headline"] = safetext::utf8Escaped(headline);
        if (!recordId.empty()) j["record"] = recordId;
    }
    return j.dump() + "\n";
}

std::optional<ChildEvent> ChildEvent::fromLine(std::string_view line) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("v") || !j["v"].is_number_integer()) return std::nullopt;
    if (const auto v = j["v"].get<std::int64_t>(); v < kOldestVersion || v > kVersion) return std::nullopt;
    const auto kind = j.find("event");
    if (kind == j.end() || !kind->is_string()) return std::nullopt;
    ChildEvent e;
    try {
        if (*kind == "progress") {
            e.kind = Kind::Progress;
            e.blockCount = j.value("blockCount", 0u);
            e.bytes = j.value("bytes", std::uint64_t{0});
            e.blocksDone = j.value("blocksDone", 0u);
            e.status = j.value("status", "");
            return e;
        }
        if (*kind == "result" && j.contains("result") && j["result"].is_object()) {
            e.kind = Kind::Result;
            e.result = resultFromJson(j["result"]);
            e.headline = j.value("headline", "");
            e.recordId = j.value("record", "");
            return e;
        }
    } catch (const nlohmann::json::exception&) {
        // A field of the wrong type: no event of ours.
    }
    return std::nullopt;
}
