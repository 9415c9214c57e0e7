#include <cstdio>

#include "ExitCode.h"
#include "Several.h"

// Several units at once need one process per unit; on Windows that mode is not built: start
// one unit-loader-cli per port instead.
int runSeveral(const SeveralOptions&) {
    std::fprintf(stderr,
                 "unit-loader-cli: several --port values at once are not supported on Windows; start one "
                 "unit-loader-cli per port\n");
    return exitcode::kUsage;
}

bool watchParent() { return true; }

int parentProcess() { return 0; }
