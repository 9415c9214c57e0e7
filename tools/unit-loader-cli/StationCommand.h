#pragma once

#include <string>

#include "Records.h"

// `unit-loader-cli station JOB.toml`: runs the job's slots until the quota is reached, every
// slot is paused, or a stop request (Ctrl-C: 130 once every running download has ended and been
// recorded as interrupted).
struct StationArgs {
    std::string job;
    bool json = false;
    RecordOptions records;
};

int stationCommand(const StationArgs& args);
