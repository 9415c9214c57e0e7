#include <windows.h>

#include "Doorbell.h"
#include "Signals.h"

// An auto-reset event: one wait consumes every ring before it.
Doorbell::Doorbell() : handle_(reinterpret_cast<std::intptr_t>(::CreateEventA(nullptr, FALSE, FALSE, nullptr))) {}

Doorbell::~Doorbell() {
    if (handle_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void Doorbell::ring() { ::SetEvent(reinterpret_cast<HANDLE>(handle_)); }

Doorbell::Wake Doorbell::wait(std::chrono::milliseconds timeout) {
    HANDLE handles[2] = {reinterpret_cast<HANDLE>(handle_), static_cast<HANDLE>(signals::event())};
    const DWORD count = handles[1] ? 2 : 1;
    const DWORD ms = timeout.count() < 0 ? 0 : static_cast<DWORD>(timeout.count());
    switch (::WaitForMultipleObjects(count, handles, FALSE, ms)) {
    case WAIT_OBJECT_0: return Wake::Rung;
    case WAIT_OBJECT_0 + 1: return Wake::Stop;
    case WAIT_TIMEOUT: return Wake::Timeout;
    default: return Wake::Error;
    }
}
