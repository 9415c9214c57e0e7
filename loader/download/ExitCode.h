#pragma once

#include <optional>
#include <string>
#include <vector>

#include "download/RunReport.h"

// The command-line loader's exit codes, which the records and the station use as outcome names
// too. Scripts branch on them, so the numbers never change. One table holds each code's name,
// meaning, rank and the outcomes that end with it; everything below reads that table.
namespace exitcode {

inline constexpr int kSuccess = 0;
inline constexpr int kInternal = 1;         // the library or the outcome could not be written, a process not started
inline constexpr int kUsage = 2;            // bad command line
inline constexpr int kFile = 3;             // download file missing, unreadable or without a valid trailer
inline constexpr int kConnection = 4;       // the port could not be opened (message 133)
inline constexpr int kWarning = 5;          // verify result D3 80: the unit did not confirm the image
inline constexpr int kRecord = 6;           // the attempt could not be recorded: nothing was sent
inline constexpr int kVersionMismatch = 7;  // the station: the unit reports another version than its job expects
inline constexpr int kImageMismatch = 8;    // the image read is not the one expected (its SHA-256): nothing was sent
inline constexpr int kRecordsAltered = 9;   // records verify: a record or event was changed, removed or inserted
inline constexpr int kFailureBase = 10;     // F1 .. F9 are 11 .. 19
inline constexpr int kTimeout = 20;         // --timeout expired, or no progress for --stall-timeout
inline constexpr int kInterrupted = 130;    // SIGINT, SIGTERM or SIGHUP

inline constexpr int failure(int n) { return kFailureBase + n; }

// How the engine said a run ended, as the program reports it.
struct Ending {
    int code;
    const char* outcome;  // the "outcome" word of the JSON result
};
Ending ofOutcome(Outcome outcome, std::optional<Failure> which);
inline Ending ofReport(const RunReport& report) { return ofOutcome(report.outcome, report.failure); }

// Of two units' codes, the one that fared worse: interruption, internal and file errors, the
// port, a time-out, a failure (the later state the worse), the warning, success.
int worse(int a, int b);

struct Row {
    std::string code;
    std::string meaning;
};
// Every code with its meaning, for --help and the summary.
const std::vector<Row>& table();
// "code  meaning" lines, indented by `indent` spaces.
std::string tableText(int indent);
// A short name for a code: "success", "F3", "time-out", ...
std::string name(int code);
// "F1" .. "F9" for a failure's code; empty for any other.
std::string failureName(int code);
// The "outcome" word of the command line's JSON result: the engine's word for how the run ended
// ("failure", "stalled", ...), or the code's name when the engine did not end it.
std::string resultWord(int code, Outcome ended);
// That word read back (from a unit's own process): the engine's outcome, None for a code's name.
Outcome outcomeOfWord(int code, const std::string& word);

}  // namespace exitcode
