#include <windows.h>

#include <atomic>
#include <csignal>

#include "Signals.h"

namespace signals {

namespace {
HANDLE stopEvent = nullptr;
std::atomic<int> first{0};

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI onConsoleEvent(DWORD type) {
    const int sig = type == CTRL_C_EVENT ? SIGINT : type == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
    int expected = 0;
    first.compare_exchange_strong(expected, sig);
    ::SetEvent(stopEvent);
    return TRUE;
}
}  // namespace

bool install() {
    if (!stopEvent) stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);  // stays set: a stop is final
    return stopEvent && ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int fd() { return -1; }

void* event() { return stopEvent; }

int caught() { return first.load(); }

const char* name(int sig) { return sig == SIGBREAK ? "Ctrl-Break" : sig == SIGTERM ? "the console closing" : "Ctrl-C"; }

void drain() {}

}  // namespace signals
