#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "Signals.h"
#include "units/ChildProcess.h"

namespace signals {

namespace {
// The system ends a process whose console closes about 5 s after telling it, and at once when
// the handler returns: the session gets what is left of that to close.
constexpr DWORD kCloseWaitMs = 4500;

HANDLE stopEvent = nullptr;
HANDLE closedEvent = nullptr;
std::atomic<int> first{0};
std::atomic<bool> atOnce{false};
// A unit's own process: the first stop was the parent's (what it got; 0: it went away). The same
// Ctrl-C reaches this process from the console too, so one console event after it is no second.
std::atomic<int> parentGot{0};
std::atomic<bool> firstFromParent{false};
std::atomic<bool> spare{false};

void say(const char* text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Runs on a thread of its own that the system starts for the console event.
BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        int none = 0;
        first.compare_exchange_strong(none, SIGTERM);
        ::SetEvent(stopEvent);
        ::WaitForSingleObject(closedEvent, kCloseWaitMs);
        return TRUE;
    }
    const int sig = type == CTRL_C_EVENT ? SIGINT : type == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
    int expected = 0;
    const bool isFirst = first.compare_exchange_strong(expected, sig) || spare.exchange(false);
    if (!isFirst || atOnce.load()) {
        say("\nunit-loader-cli: ");
        say(name(sig));
        say(isFirst ? " while the session was being closed" : ", a second stop request");
        say(": ended at once without waiting for the exchange in progress; the port was released by exiting.\n");
        ::TerminateProcess(::GetCurrentProcess(), 130);
    }
    ::SetEvent(stopEvent);
    return TRUE;
}
}  // namespace

bool install() {
    if (!stopEvent) stopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);  // stays set: a stop is final
    if (!closedEvent) closedEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The units' processes wake a wait on a stop request (units/ChildProcess.h).
    units::installProcessHooks({&addChild, &removeChild, &fd, &event});
    return stopEvent && closedEvent && ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int fd() { return -1; }

void* event() { return stopEvent; }

int caught() { return first.load(); }

const char* name(int sig) { return sig == SIGBREAK ? "Ctrl-Break" : sig == SIGTERM ? "the console closing" : "Ctrl-C"; }

std::string cause() {
    if (firstFromParent.load()) {
        const int got = parentGot.load();
        return got == 0 ? std::string("because unit-loader-cli ended")
                        : std::string("because unit-loader-cli got ") + name(got);
    }
    return std::string("by ") + name(first.load());
}

void drain() {}

void sessionClosed() {
    if (closedEvent) ::SetEvent(closedEvent);
}

void setClosing(bool closing) { atOnce = closing; }

// A loaded library cannot be deleted on Windows; units' own processes get the same console event
// and end at once by themselves.
void removeWhenEndedAtOnce(const std::string&) {}
void addChild(int) {}
void removeChild(int) {}
void setParent(int) {}

// From the thread that reads the parent's stop lines (see watchParent).
void stopFromParent(int cause) {
    int expected = 0;
    if (first.compare_exchange_strong(expected, cause == 0 ? SIGTERM : cause)) {
        parentGot = cause;
        firstFromParent = true;
        spare = true;
    }
    ::SetEvent(stopEvent);
}

}  // namespace signals
