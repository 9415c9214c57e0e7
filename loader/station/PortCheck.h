#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "station/JobFile.h"

// The job's ports as the system has them, looked at before any unit is touched: a slot whose
// port cannot be opened would wait for ever without a word, and two names of one device would
// have two slots fight over one unit.
namespace station {

struct PortProblem {
    enum class Kind {
        Unusable,    // missing, no permission, held by another program, no serial device
        SameDevice,  // two slots name one device
    };
    Kind kind = Kind::Unusable;
    std::string text;  // "JOB:LINE: slot \"B\": ..."
};

// The first problem of the job's ports; `origin` is the job file, named with the port's line.
// With hotplug presence a port that is not there yet is no problem: its adapter comes with the
// unit.
std::optional<PortProblem> checkPorts(const Job& job, const std::string& origin);

// One port as this platform sees it.
struct PortLook {
    bool missing = false;                 // no such path
    std::optional<std::string> problem;   // why it cannot be opened, for a person
    std::optional<std::uint64_t> device;  // the device it names, the same for every name of it
};
PortLook lookAtPort(const std::string& port);

}  // namespace station
