#pragma once

#include <optional>
#include <string>
#include <vector>

#include "UnitRun.h"

// Several units at once: one process per unit (the protocol library serves one port per
// process), each a copy of this program started with the hidden child option, reporting
// through a pipe. Every process is waited for before this returns.
struct SeveralOptions {
    UnitCommand command = UnitCommand::Download;
    std::string file;
    std::vector<std::string> ports;
    std::string baud;
    std::optional<double> timeoutSeconds;
    std::string library;
    bool json = false;
    bool quiet = false;
    double stallTimeoutSeconds = 0;  // 0: none
};

// Returns the worst exit code of the units.
int runSeveral(const SeveralOptions& options);

// The process that started this one (0 where units have no processes of their own).
int parentProcess();

// The environment variable naming the parent of a unit's own process, as the parent sets it.
inline constexpr const char* kUnitParentVariable = "UL_CLI_UNIT_PARENT";

// In a unit's own process: never outlive the parent that would reap it and read its result.
// False when the parent is already gone.
bool watchParent();

// The summary printed at the end: a table, then each unit's box.
std::string summaryTable(const std::vector<RunResult>& results);
