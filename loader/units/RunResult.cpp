#include "units/RunResult.h"

#include "SafeText.h"
#include "download/ExitCode.h"

std::string RunResult::outcomeWord() const { return exitcode::resultWord(exitCode, ended); }

nlohmann::json toJson(const RunResult& r) {
    // The unit's bytes (its version, the box that shows it) need not be UTF-8: escaped, as the
    // record keeps them, so that neither the output nor a unit's process fails on them.
    const auto text = [](const std::string& t) { return safetext::utf8Escaped(t); };
    nlohmann::json j;
    j["command"] = r.kind == RunKind::Download ? "download" : "version";
    j["port"] = text(r.port);
    // A number where it is one, as a script compares it.
    if (!r.baud.empty() && r.baud.size() <= 9 && r.baud.find_first_not_of("0123456789") == std::string::npos)
        j["baud"] = std::stol(r.baud);
    else
        j["baud"] = text(r.baud);
    j["outcome"] = r.outcomeWord();
    j["exitCode"] = r.exitCode;
    j["caption"] = text(r.caption);
    j["text"] = text(r.text);
    j["explanation"] = r.explanation.empty() ? nlohmann::json() : nlohmann::json(text(r.explanation));
    const std::string failure = exitcode::failureName(r.exitCode);
    j["failure"] = failure.empty() ? nlohmann::json() : nlohmann::json(failure);
    if (r.kind == RunKind::VersionCheck) j["version"] = text(r.version);
    j["unitCrc"] = r.unitCrc ? nlohmann::json(*r.unitCrc) : nlohmann::json();
    j["fileCrc"] = r.fileCrc ? nlohmann::json(*r.fileCrc) : nlohmann::json();
    if (!r.fileSha256.empty()) j["fileSha256"] = r.fileSha256;
    j["blocks"] = r.blocks;
    j["blocksDone"] = r.blocksDone;
    j["bytes"] = r.bytes;
    j["seconds"] = r.seconds;
    return j;
}

RunResult resultFromJson(const nlohmann::json& j) {
    RunResult r;
    r.kind = j.value("command", "download") == "version" ? RunKind::VersionCheck : RunKind::Download;
    r.port = j.value("port", "");
    if (j.contains("baud"))
        r.baud = j["baud"].is_number() ? std::to_string(j["baud"].get<long>()) : j.value("baud", "");
    r.exitCode = j.value("exitCode", exitcode::kInternal);
    r.ended = exitcode::outcomeOfWord(r.exitCode, j.value("outcome", ""));
    r.caption = j.value("caption", "");
    r.text = j.value("text", "");
    if (j.contains("explanation") && j["explanation"].is_string()) r.explanation = j["explanation"];
    r.version = j.value("version", "");
    if (j.contains("unitCrc") && j["unitCrc"].is_string()) r.unitCrc = j["unitCrc"].get<std::string>();
    if (j.contains("fileCrc") && j["fileCrc"].is_string()) r.fileCrc = j["fileCrc"].get<std::string>();
    r.fileSha256 = j.value("fileSha256", "");
    r.blocks = j.value("blocks", 0u);
    r.blocksDone = j.value("blocksDone", 0u);
    r.bytes = j.value("bytes", std::uint64_t{0});
    r.seconds = j.value("seconds", 0.0);
    return r;
}
