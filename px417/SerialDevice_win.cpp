#include "SerialDevice.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kNoBaud = 0;

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.release();
        }
        return *this;
    }

    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset() {
        if (h_) ::CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

Handle manualResetEvent() { return Handle(::CreateEventA(nullptr, TRUE, FALSE, nullptr)); }

void clearErrors(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status{};
    ::ClearCommError(port, &errors, &status);
}

// Settings the driver refuses leave the line as it was; nothing here is checked.
void configure(HANDLE port, std::int32_t baudRate, std::int32_t dataBits) {
    ::SetupComm(port, kQueueBytes, kQueueBytes);
    ::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // One byte per read: it ends at the latest 500 + 500 x 1 ms after it starts.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutMultiplier = 500;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    ::SetCommTimeouts(port, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(port, &dcb);
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = static_cast<BYTE>(dataBits & 0xFF);
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    ::SetCommState(port, &dcb);

    ::EscapeCommFunction(port, SETDTR);
    ::EscapeCommFunction(port, SETRTS);
}

// The rate the line runs at after configure(): a refused rate leaves the previous one.
DWORD lineRate(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return ::GetCommState(port, &dcb) ? dcb.BaudRate : kNoBaud;
}

}  // namespace

struct SerialDevice::Impl {
    Handle port;
    Handle readEvent;
    Handle writeEvent;
    DWORD baud = kNoBaud;
};

std::string serialDevicePath(const std::string& portName) { return "\\\\.\\" + portName; }

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() = default;

bool SerialDevice::isOpen() const { return static_cast<bool>(impl_->port); }

bool SerialDevice::open(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits) {
    close();
    if (portName.empty()) return false;
    // No sharing: a port another program holds cannot be opened.
    Handle port(::CreateFileA(serialDevicePath(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!port) return false;
    // Only a communications device: a name that leads elsewhere ("NUL", a pipe) is let go at once.
    DCB probe{};
    probe.DCBlength = sizeof probe;
    if (::GetFileType(port.get()) != FILE_TYPE_CHAR || !::GetCommState(port.get(), &probe)) return false;
    configure(port.get(), baudRate, dataBits);
    Handle readEvent = manualResetEvent();
    if (!readEvent) return false;
    Handle writeEvent = manualResetEvent();
    if (!writeEvent) return false;
    impl_->baud = lineRate(port.get());
    impl_->port = std::move(port);
    impl_->readEvent = std::move(readEvent);
    impl_->writeEvent = std::move(writeEvent);
    return true;
}

void SerialDevice::close() {
    if (impl_->port) {
        ::EscapeCommFunction(impl_->port.get(), CLRDTR);
        ::EscapeCommFunction(impl_->port.get(), CLRRTS);
    }
    impl_->port.reset();
    impl_->readEvent.reset();
    impl_->writeEvent.reset();
    impl_->baud = kNoBaud;
}

std::int32_t SerialDevice::baudRate() const { return impl_->port ? static_cast<std::int32_t>(impl_->baud) : 0; }

bool SerialDevice::readByte(std::uint8_t& out) { return readByteWithin(out, kReadWait); }

bool SerialDevice::readByteWithin(std::uint8_t& out, std::chrono::milliseconds limit) {
    if (!impl_->port) return false;
    const HANDLE port = impl_->port.get();
    OVERLAPPED request{};
    request.hEvent = impl_->readEvent.get();
    DWORD got = 0;
    if (!::ReadFile(port, &out, 1, &got, &request)) {
        if (::GetLastError() != ERROR_IO_PENDING) {
            clearErrors(port);
            return false;
        }
        // The driver's time-outs end the read. A timed-out read completes with no byte; some
        // drivers report it as ERROR_TIMEOUT instead, which is the same "no byte". A shorter
        // limit cancels the read; a byte that came meanwhile still counts.
        if (limit < kReadWait) {
            const auto wait = static_cast<DWORD>(std::max<std::int64_t>(limit.count(), 0));
            if (::WaitForSingleObject(request.hEvent, wait) != WAIT_OBJECT_0) ::CancelIo(port);
        }
        if (!::GetOverlappedResult(port, &request, &got, TRUE)) {
            clearErrors(port);
            return false;
        }
    }
    if (got == 1) return true;
    clearErrors(port);
    return false;
}

bool SerialDevice::writeBytes(const std::uint8_t* data, std::size_t count) {
    if (!impl_->port) return false;
    const HANDLE port = impl_->port.get();
    clearErrors(port);
    OVERLAPPED request{};
    request.hEvent = impl_->writeEvent.get();
    DWORD written = 0;
    if (::WriteFile(port, data, static_cast<DWORD>(count), &written, &request)) return true;
    if (::GetLastError() != ERROR_IO_PENDING) {
        clearErrors(port);
        return false;
    }
    // No write time-out on the line itself, but a line that never drains (flow control held
    // off, a vanished adapter) must not hold the caller: twice the time the bytes take on the
    // line (11 bits each: start, 8 data, parity, stop) plus a second, then the write is dropped.
    const auto limit = writeLimit(count, static_cast<std::int32_t>(impl_->baud != kNoBaud ? impl_->baud : 9600));
    if (::WaitForSingleObject(request.hEvent, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0)
        return ::GetOverlappedResult(port, &request, &written, FALSE) != 0;
    ::CancelIo(port);
    ::PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
    // The request must be over before its record goes out of scope.
    ::GetOverlappedResult(port, &request, &written, TRUE);
    return false;
}
