#include <windows.h>

#include <algorithm>

#include "session/SerialDevices.h"

// The serial ports Windows knows, as its device map lists them: the port name (COM1) and the
// driver's device behind it. The roots only matter on Linux.
std::vector<SerialPortInfo> listSerialPorts(const std::string&, const std::string&) {
    std::vector<SerialPortInfo> ports;
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG r = ::RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize);
        if (r == ERROR_MORE_DATA) continue;
        if (r != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        data[dataSize] = 0;
        SerialPortInfo port;
        port.device = reinterpret_cast<const char*>(data);
        port.description = name;
        ports.push_back(std::move(port));
    }
    ::RegCloseKey(key);
    // COM2 before COM10.
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return a.device.size() != b.device.size() ? a.device.size() < b.device.size() : a.device < b.device;
    });
    return ports;
}
