#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "ParentWatch.h"
#include "Signals.h"

namespace {

// How long the reader of the parent's lines may take to end once cancelled.
constexpr DWORD kThreadEndMs = 5000;

}  // namespace

// The parent as the system records it, so that a process is not taken for a unit's just because
// it inherited the variable.
int parentProcess() {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD self = ::GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (bool more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    ::CloseHandle(snapshot);
    return static_cast<int>(parent);
}

namespace {

// Reads the parent's stop lines from standard input; the end of it (the parent went away) stops
// the run too. Ended with the process: the read is cancelled, the thread waited for.
class ParentWatch {
public:
    bool start() {
        input_ = ::GetStdHandle(STD_INPUT_HANDLE);
        if (!input_ || input_ == INVALID_HANDLE_VALUE) return false;
        thread_ = ::CreateThread(nullptr, 0, loop, this, 0, nullptr);
        return thread_ != nullptr;
    }
    ~ParentWatch() {
        if (!thread_) return;
        quitting_ = true;
        // The parent keeps the pipe open until it has reaped this process: the read is blocked.
        if (::CancelSynchronousIo(thread_) || ::GetLastError() == ERROR_NOT_FOUND)
            ::WaitForSingleObject(thread_, kThreadEndMs);
        ::CloseHandle(thread_);
    }

private:
    static DWORD WINAPI loop(void* self) {
        auto* watch = static_cast<ParentWatch*>(self);
        std::string pending;
        char chunk[256];
        for (;;) {
            DWORD n = 0;
            if (!::ReadFile(watch->input_, chunk, sizeof chunk, &n, nullptr) || n == 0) {
                if (!watch->quitting_) signals::stopFromParent(0);
                return 0;
            }
            pending.append(chunk, n);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line.rfind("stop ", 0) != 0) continue;
                const int cause = std::atoi(line.c_str() + 5);
                if (cause > 0) signals::stopFromParent(cause);
            }
            if (pending.size() > 4096) pending.clear();  // no line of ours
        }
    }

    HANDLE input_ = nullptr;
    HANDLE thread_ = nullptr;
    std::atomic<bool> quitting_{false};
};

ParentWatch parentWatch;

}  // namespace

bool watchParent() {
    const DWORD parent = static_cast<DWORD>(parentProcess());
    const HANDLE handle = parent ? ::OpenProcess(SYNCHRONIZE, FALSE, parent) : nullptr;
    if (!handle) return false;
    const bool alive = ::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    ::CloseHandle(handle);
    return alive && parentWatch.start();
}
