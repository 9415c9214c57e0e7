#include <windows.h>

#include "Diagnose.h"
#include "SerialDevice.h"

namespace {

std::string systemText(DWORD error) {
    char buffer[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                     buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : text;
}

std::string portReason(const std::string& path) {
    const HANDLE port =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "no such port";
        // A COM port is opened exclusively: refused access means another program has it.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "in use by another program";
        case ERROR_FILENAME_EXCED_RANGE: return "the name is too long";
        default: return systemText(error);
        }
    }
    const DWORD type = ::GetFileType(port);
    ::CloseHandle(port);
    if (type != FILE_TYPE_CHAR) return "not a serial device";
    return "it opens now; another program may have held it for a moment";
}

}  // namespace

std::string explainPortFailure(const std::string& port) {
    if (port.empty()) return "No port was given.";
    return "Port " + port + ": " + portReason(serialDevicePath(port)) + ".";
}
