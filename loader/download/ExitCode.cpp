#include "download/ExitCode.h"

#include <iterator>

namespace exitcode {

namespace {

// An outcome that ends with a code, and the word the JSON result gives it.
struct Ends {
    Outcome outcome = Outcome::None;
    const char* word = nullptr;
};

// One row per code. `rank` orders codes from best to worst; the outcomes (at most two) that end
// with the code; a failure row also names its failure.
struct Code {
    int code;
    const char* name;
    const char* meaning;
    int rank;
    Ends ends;
    Ends alsoEnds;
    std::optional<Failure> failure;
};

// clang-format off
const Code kCodes[] = {
    {kSuccess,     "success",            "success: the unit verified the image and reported Disable", 0,  {Outcome::Success, "success"}, {}, {}},
    {kInternal,    "internal error",     "internal error (the protocol library could not be written, a process not started, the outcome not written)",
                                                                                                        60, {}, {}, {}},
    {kUsage,       "usage error",        "usage error",                                                55, {}, {}, {}},
    {kFile,        "file error",         "file error: cannot open or read the file, or its CRC trailer is wrong",
                                                                                                        50, {Outcome::FileError, "file error"}, {Outcome::NoFileSelected, "file error"}, {}},
    {kConnection,  "connection failure", "connection failure: the port could not be opened",          40, {Outcome::ConnectionFailure, "connection failure"}, {}, {}},
    {kWarning,     "warning",            "warning: verify result D3 80 (\"Premature Termination\")",    1,  {Outcome::Warning, "warning"}, {}, {}},
    {kRecord,      "record error",       "record error: the attempt could not be begun, so nothing was sent, or its end could not be written (see --records, --no-record)",
                                                                                                        58, {}, {}, {}},
    {kVersionMismatch, "version mismatch", "version mismatch: the unit reports another version than the station's job expects (station)",
                                                                                                        25, {}, {}, {}},
    {kImageMismatch, "image mismatch", "image mismatch: the image read is not the one the station's job names (another SHA-256), so nothing was sent (station)",
                                                                                                        52, {}, {}, {}},
    {kRecordsAltered, "records altered", "records altered: records verify found a record or an event of the records file changed, removed or inserted",
                                                                                                        57, {}, {}, {}},
    {failure(1),   "F1", "F1 unit not disabled/connected (waiting for Disable)",   11, {Outcome::Failed, "failure"}, {}, Failure::NotDisabled},
    {failure(2),   "F2", "F2 no acknowledgement of the download start",            12, {Outcome::Failed, "failure"}, {}, Failure::NoStartAck},
    {failure(3),   "F3", "F3 unit not ready after erasing",                        13, {Outcome::Failed, "failure"}, {}, Failure::NotErased},
    {failure(4),   "F4", "F4 no acknowledgement of the first block",               14, {Outcome::Failed, "failure"}, {}, Failure::NoFirstBlockAck},
    {failure(5),   "F5", "F5 no ready/busy after a block",                         15, {Outcome::Failed, "failure"}, {}, Failure::NoReady},
    {failure(6),   "F6", "F6 no acknowledgement of a block",                       16, {Outcome::Failed, "failure"}, {}, Failure::NoBlockAck},
    {failure(7),   "F7", "F7 no acknowledgement of the last block",                17, {Outcome::Failed, "failure"}, {}, Failure::NoLastBlockAck},
    {failure(8),   "F8", "F8 not ready after the last block",                      18, {Outcome::Failed, "failure"}, {}, Failure::NotReadyAfterLast},
    {failure(9),   "F9", "F9 no acknowledgement of the verify command",            19, {Outcome::Failed, "failure"}, {}, Failure::NoVerifyAck},
    {kTimeout,     "time-out",    "time-out (--timeout expired, or no progress for --stall-timeout; the session was closed)",
                                                                                    30, {Outcome::TimedOut, "time-out"}, {Outcome::Stalled, "stalled"}, {}},
    {kInterrupted, "interrupted", "interrupted (SIGINT, SIGTERM or SIGHUP; the session was closed)",
                                                                                    70, {Outcome::Interrupted, "interrupted"}, {}, {}},
};
// clang-format on

// A code outside the table: a child that died of a signal, say.
constexpr int kUnknownRank = 65;

const Code* find(int code) {
    for (const Code& c : kCodes)
        if (c.code == code) return &c;
    return nullptr;
}

int rank(int code) {
    const Code* c = find(code);
    return c ? c->rank : kUnknownRank;
}

}  // namespace

Ending ofOutcome(Outcome outcome, std::optional<Failure> which) {
    for (const Code& c : kCodes) {
        if (c.failure && c.failure != which) continue;
        for (const Ends& e : {c.ends, c.alsoEnds})
            if (e.word && e.outcome == outcome) return {c.code, e.word};
    }
    // Nothing ran, or it has not ended: the program itself went wrong.
    return {kInternal, "internal error"};
}

int worse(int a, int b) { return rank(b) > rank(a) ? b : a; }

const std::vector<Row>& table() {
    static const std::vector<Row> rows = [] {
        std::vector<Row> r;
        for (const Code& c : kCodes) r.push_back({std::to_string(c.code), c.meaning});
        return r;
    }();
    return rows;
}

std::string tableText(int indent) {
    std::string text;
    for (const auto& row : table()) {
        text += std::string(static_cast<std::size_t>(indent), ' ') + row.code;
        text += std::string(5 - row.code.size(), ' ') + row.meaning + "\n";
    }
    return text;
}

std::string name(int code) {
    if (const Code* c = find(code)) return c->name;
    // std::string on the left: GCC 12 misreads literal + temporary as an overlapping copy.
    return std::string("exit ").append(std::to_string(code));
}

std::string failureName(int code) {
    if (const Code* c = find(code); c && c->failure) return c->name;
    return {};
}

std::string resultWord(int code, Outcome ended) {
    if (const Code* c = find(code))
        for (const Ends& e : {c->ends, c->alsoEnds})
            if (e.word && e.outcome == ended) return e.word;
    return name(code);
}

Outcome outcomeOfWord(int code, const std::string& word) {
    if (const Code* c = find(code))
        for (const Ends& e : {c->ends, c->alsoEnds})
            if (e.word && word == e.word) return e.outcome;
    return Outcome::None;
}

}  // namespace exitcode
