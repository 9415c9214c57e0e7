#include <cstdio>

#include "StationCommand.h"
#include "download/ExitCode.h"

// The Windows build has no station yet: its job files need the TOML reader of the Linux build.
int stationCommand(const StationArgs&) {
    std::fprintf(stderr, "unit-loader-cli: the station is not part of this build\n");
    return exitcode::kUsage;
}
