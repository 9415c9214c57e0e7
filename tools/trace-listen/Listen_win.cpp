#include <windows.h>

#include <atomic>
#include <cstdio>

#include "Listen.h"

// Ctrl-C, Ctrl-Break and closing the console window set a flag that the receive loop checks
// between its short waits; mailslots keep what arrives meanwhile.
namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI onConsoleEvent(DWORD) {
    stopRequested = true;
    return TRUE;
}

}  // namespace

bool catchStopRequests() {
    if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
        std::fprintf(stderr, "cannot catch Ctrl-C (error %lu)\n", ::GetLastError());
        return false;
    }
    return true;
}

bool listenUntilStopped(const std::vector<std::unique_ptr<Slot>>& slots,
                        const std::function<void(const Slot&, const std::string&)>& print) {
    using R = platform::MailslotListener::Receive;
    // A stop request is noticed within one turn: each slot waits at most this long.
    const auto wait = std::chrono::milliseconds(100 / (slots.empty() ? 1 : slots.size()));
    std::string message;
    int errorsInARow = 0;
    while (!stopRequested) {
        for (const auto& slot : slots) {
            const R r = slot->listener.receive(message, wait);
            if (r == R::Message) print(*slot, message);
            // One unreadable message (Wine reports an empty one as a broken pipe) is passed
            // over; a slot that fails every time is given up.
            errorsInARow = r == R::Error ? errorsInARow + 1 : 0;
            if (errorsInARow > 100) return false;
        }
    }
    return true;
}
