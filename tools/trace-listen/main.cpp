// Creates trace mailslots and prints what arrives on them until Ctrl-C, SIGTERM or SIGHUP; the
// mailslots go away again when it ends.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Listen.h"
#include "TraceNames.h"
#include "Visible.h"
#include "platform/Mailslot.h"

namespace {

void usage(const char* program) {
    std::printf(
        "usage: %s [MAILSLOT...]\n"
        "Creates each mailslot (default DebugComm_px417) and prints every message that\n"
        "arrives: time, mailslot, length in bytes and the text with control bytes escaped.\n"
        "Ends on Ctrl-C, SIGTERM or SIGHUP and removes the mailslots.\n",
        program);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(argv[0]);
            return 0;
        }
        if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "%s: unknown option %s\n", argv[0], arg.c_str());
            return 2;
        }
        names.push_back(arg);
    }
    if (names.empty()) names.push_back(tracename::kLibrary);

    if (!catchStopRequests()) return 1;

    std::vector<std::unique_ptr<Slot>> slots;
    for (const auto& name : names) {
        auto slot = std::make_unique<Slot>();
        slot->name = name;
        std::string error;
        if (!slot->listener.create(name, &error)) {
            std::fprintf(stderr, "%s: cannot create mailslot %s: %s\n", argv[0], name.c_str(), error.c_str());
            return 1;  // the ones made so far are removed on the way out
        }
        slots.push_back(std::move(slot));
        std::printf("listening on %s in %s\n", name.c_str(), platform::mailslotDirectory(false).c_str());
    }
    std::fflush(stdout);

    const bool ok = listenUntilStopped(slots, [](const Slot& slot, const std::string& message) {
        std::printf("%s %s [%zu] %s\n", traceTimeStamp().c_str(), slot.name.c_str(), message.size(),
                    visibleText(message).c_str());
        std::fflush(stdout);
    });
    return ok ? 0 : 1;
}
