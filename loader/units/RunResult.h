#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "download/RunReport.h"

// How one download or version check ended, and what the operator would have been shown: what a
// unit's own process reports to its parent, and what the command line prints. The outcome is
// the exit code (the exit-code table's names, ExitCode.h); the JSON's "outcome" word and
// "failure" are made from it.
struct RunResult {
    RunKind kind = RunKind::Download;
    std::string port;
    std::string baud;
    int exitCode = 0;
    Outcome ended = Outcome::None;  // how the engine said it ended; None when it did not run
    std::string caption;            // the message box, when there was one
    std::string text;
    // The run's line in a table of several: the caption, or the first line of a box whose caption
    // is only the program's title (not part of the JSON result).
    std::string headline;
    // The program's own lines under the box: why the port or the file could not be opened.
    std::string explanation;
    std::string version;                 // the version text of a successful check
    std::optional<std::string> unitCrc;  // "%02X%02X" of the verify result bytes 5 and 4
    std::optional<std::string> fileCrc;  // "%04X"
    // The SHA-256 of the bytes loaded (lower-case hex), for a run told which image to expect.
    std::string fileSha256;
    std::uint32_t blocks = 0;
    std::uint32_t blocksDone = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;

    // The JSON's "outcome": "success", "warning", "failure", "stalled", "file error", ...
    std::string outcomeWord() const;
};

nlohmann::json toJson(const RunResult& result);
RunResult resultFromJson(const nlohmann::json& json);
