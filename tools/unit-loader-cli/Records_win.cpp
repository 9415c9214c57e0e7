#include <cstdio>

#include "ExitCode.h"
#include "Records.h"

// The Windows flavour is built without SQLite and keeps no records yet.
std::unique_ptr<RunRecorder> openRecorder(const RecordOptions&, const std::string&, std::string& why) {
    why.clear();
    return nullptr;
}

std::string recordsPathOf(const RecordOptions& options) { return options.path; }

int recordsCommand(const RecordsQuery&) {
    std::fprintf(stderr, "unit-loader-cli: the Windows build keeps no records yet\n");
    return exitcode::kUsage;
}
