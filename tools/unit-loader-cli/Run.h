#pragma once

#include <string>
#include <vector>

#include "Records.h"
#include "UnitRun.h"

// The download and version commands: options as the command line gave them, then settings,
// the library copy, trace, and one unit here or several in processes of their own.
struct UnitArgs {
    std::string file;
    std::vector<std::string> ports;
    std::string baud;
    double timeout = 0;
    double stallTimeout = 120;
    bool json = false;
    bool trace = false;
    bool quiet = false;
    std::string childLibrary;   // set only in a unit's own process, started by the parent
    std::string recordedFile;   // a unit's own process: the file's name for the record
    std::string expectVersion;  // a station's version check: the version its job expects
    std::string expectSha256;   // downloads: the SHA-256 the file's bytes must have (lower-case hex)
    RecordOptions records;
};

// Runs the command; returns the exit code.
int runUnitCommand(RunKind command, UnitArgs args);

// The baud-rate text as the engine reads it: a positive decimal number, else 9600.
bool positiveNumber(const std::string& text);
// A number of seconds as an option takes it: more than 0, or (`zeroAllowed`) 0 or more. An
// empty text when it is good, else what is wrong.
std::string secondsCheck(const std::string& text, bool zeroAllowed);
