#pragma once

#include <optional>
#include <string>
#include <vector>

#include "UnitRun.h"

// Several units at once: one process per unit (units::ChildRun), each a copy of this program
// started with the hidden child option, reporting ChildEvents through a pipe. Every process is
// waited for before this returns.
struct SeveralOptions {
    RunKind command = RunKind::Download;
    std::string file;
    std::vector<std::string> ports;
    std::string baud;
    std::optional<double> timeoutSeconds;
    std::string library;
    bool json = false;
    bool quiet = false;
    double stallTimeoutSeconds = 0;      // 0: none
    std::vector<std::string> childArgs;  // passed on to every unit's process as they are
    std::string expectSha256 = {};       // downloads: the SHA-256 the file's bytes must have
};

// Returns the worst exit code of the units.
int runSeveral(const SeveralOptions& options);

// The summary printed at the end: a table, then each unit's box.
std::string summaryTable(const std::vector<RunResult>& results);
