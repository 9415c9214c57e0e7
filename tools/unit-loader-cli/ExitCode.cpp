#include "ExitCode.h"

namespace exitcode {

namespace {
int rank(int code) {
    switch (code) {
    case kSuccess: return 0;
    case kWarning: return 1;
    case kTimeout: return 30;
    case kConnection: return 40;
    case kFile: return 50;
    case kUsage: return 55;
    case kInternal: return 60;
    case kInterrupted: return 70;
    default:
        if (code > kFailureBase && code < kTimeout) return 10 + code - kFailureBase;
        return 65;  // unknown: a child that died of a signal, say
    }
}
}  // namespace

Ending ofOutcome(Outcome outcome, std::optional<Failure> which) {
    struct Row {
        Outcome outcome;
        Ending ending;
    };
    static constexpr Row rows[] = {
        {Outcome::Success, {kSuccess, "success"}},
        {Outcome::Warning, {kWarning, "warning"}},
        {Outcome::Failed, {kFailureBase, "failure"}},  // plus the failure's number
        {Outcome::ConnectionFailure, {kConnection, "connection failure"}},
        {Outcome::FileError, {kFile, "file error"}},
        {Outcome::NoFileSelected, {kFile, "file error"}},
    };
    for (const Row& row : rows) {
        if (row.outcome != outcome) continue;
        if (outcome != Outcome::Failed) return row.ending;
        if (which) return {failure(failureNumber(*which)), row.ending.outcome};
    }
    // Nothing ran, or it has not ended: the program itself went wrong.
    return {kInternal, "internal error"};
}

int worse(int a, int b) { return rank(b) > rank(a) ? b : a; }

const std::vector<Row>& table() {
    static const std::vector<Row> rows = {
        {"0", "success: the unit verified the image and reported Disable"},
        {"1",
         "internal error (the protocol library could not be written, a process not started, the outcome not "
         "written)"},
        {"2", "usage error"},
        {"3", "file error: cannot open or read the file, or its CRC trailer is wrong"},
        {"4", "connection failure: the port could not be opened"},
        {"5", "warning: verify result D3 80 (\"Premature Termination\")"},
        {"11", "F1 unit not disabled/connected (waiting for Disable)"},
        {"12", "F2 no acknowledgement of the download start"},
        {"13", "F3 unit not ready after erasing"},
        {"14", "F4 no acknowledgement of the first block"},
        {"15", "F5 no ready/busy after a block"},
        {"16", "F6 no acknowledgement of a block"},
        {"17", "F7 no acknowledgement of the last block"},
        {"18", "F8 not ready after the last block"},
        {"19", "F9 no acknowledgement of the verify command"},
        {"20", "time-out (--timeout expired, or no progress for --stall-timeout; the session was closed)"},
        {"130", "interrupted (SIGINT, SIGTERM or SIGHUP; the session was closed)"},
    };
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
    switch (code) {
    case kSuccess: return "success";
    case kInternal: return "internal error";
    case kUsage: return "usage error";
    case kFile: return "file error";
    case kConnection: return "connection failure";
    case kWarning: return "warning";
    case kTimeout: return "time-out";
    case kInterrupted: return "interrupted";
    default:
        // std::string on the left: GCC 12 misreads literal + temporary as an overlapping copy.
        if (code > kFailureBase && code < kTimeout) return std::string("F").append(std::to_string(code - kFailureBase));
        return std::string("exit ").append(std::to_string(code));
    }
}

}  // namespace exitcode
