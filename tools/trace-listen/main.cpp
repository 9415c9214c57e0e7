// Creates trace mailslots and prints what arrives on them until Ctrl-C, SIGTERM or SIGHUP; the
// mailslots go away again when it ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Visible.h"
#include "platform/Mailslot.h"

namespace {

int wakePipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char b = 1;
    (void)!::write(wakePipe[1], &b, 1);
    errno = saved;
}

void usage(const char* program) {
    std::printf(
        "usage: %s [MAILSLOT...]\n"
        "Creates each mailslot (default DebugComm_px417) and prints every message that\n"
        "arrives: time, mailslot, length in bytes and the text with control bytes escaped.\n"
        "Ends on Ctrl-C, SIGTERM or SIGHUP and removes the mailslots.\n",
        program);
}

struct Slot {
    std::string name;
    platform::MailslotListener listener;
};

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
    if (names.empty()) names.push_back("DebugComm_px417");

    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);

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

    std::vector<pollfd> fds;
    fds.push_back({wakePipe[0], POLLIN, 0});
    for (const auto& slot : slots) fds.push_back({slot->listener.pollHandle(), POLLIN, 0});

    for (;;) {
        int r = ::poll(fds.data(), fds.size(), -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            return 1;
        }
        if (fds[0].revents) break;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            Slot& slot = *slots[i - 1];
            std::string message;
            using R = platform::MailslotListener::Receive;
            if (slot.listener.receive(message, std::chrono::milliseconds(0)) != R::Message) continue;
            std::printf("%s %s [%zu] %s\n", traceTimeStamp().c_str(), slot.name.c_str(), message.size(),
                        visibleText(message).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
