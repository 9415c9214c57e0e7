#include <windows.h>

#include "SerialDevice.h"
#include "session/Diagnose.h"

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

std::string upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Names Windows keeps for devices of its own, which open like a port but are none.
const char* reservedDevice(const std::string& port) {
    const std::string name = upper(port);
    if (name == "NUL") return "the null device, not a serial port";
    if (name == "CON" || name == "CONIN$" || name == "CONOUT$") return "the console, not a serial port";
    if (name == "PRN" || (name.size() == 4 && name.compare(0, 3, "LPT") == 0 && name[3] >= '1' && name[3] <= '9'))
        return "a printer port, not a serial port";
    return nullptr;
}

std::string portReason(const std::string& port, const std::string& path) {
    // "COM1:" is how older programs wrote it; the loader takes the name alone.
    if (port.size() > 1 && port.back() == ':' && port.find_first_of(":\\/") == port.size() - 1)
        return "the name ends with a colon: write it \"" + port.substr(0, port.size() - 1) + "\"";
    if (const char* device = reservedDevice(port)) return device;
    for (const std::string& name : {path, port}) {
        const DWORD attributes = ::GetFileAttributesA(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return "a folder, not a serial port";
    }
    const HANDLE handle =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
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
    const DWORD type = ::GetFileType(handle);
    DCB state{};
    state.DCBlength = sizeof state;
    const bool serial = type == FILE_TYPE_CHAR && ::GetCommState(handle, &state);
    ::CloseHandle(handle);
    if (type == FILE_TYPE_DISK) return "a file, not a serial port";
    if (type == FILE_TYPE_PIPE) return "a pipe, not a serial port";
    if (!serial) return "not a serial device";
    return "it opens now; another program may have held it for a moment";
}

}  // namespace

std::string explainPortFailure(const std::string& port) {
    if (port.empty()) return "No port was given.";
    return "Port " + port + ": " + portReason(port, serialDevicePath(port)) + ".";
}
