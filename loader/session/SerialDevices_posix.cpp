#include "session/SerialDevices.h"

#include "session/platform/System.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// The USB device a tty hangs off: the nearest ancestor with vendor and product ids.
std::string usbDescription(const fs::path& deviceLink, const fs::path& sysRoot) {
    std::error_code ec;
    fs::path dir = fs::canonical(deviceLink, ec);
    if (ec) return {};
    const fs::path root = fs::canonical(sysRoot, ec);
    for (; !dir.empty() && dir != root && dir != dir.root_path(); dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec)) continue;
        std::string text = readLine(dir / "manufacturer");
        const std::string product = readLine(dir / "product");
        if (!product.empty()) text += (text.empty() ? "" : " ") + product;
        text += (text.empty() ? "[" : " [") + readLine(dir / "idVendor") + ":" + readLine(dir / "idProduct") + "]";
        const std::string serial = readLine(dir / "serial");
        if (!serial.empty()) text += " serial " + serial;
        return text;
    }
    return {};
}

bool isNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts(const std::string& sysRoot, const std::string& devRoot) {
    std::vector<SerialPortInfo> ports;
    std::error_code ec;
    const fs::path classDir = fs::path(sysRoot) / "class" / "tty";
    for (const auto& entry : fs::directory_iterator(classDir, ec)) {
        const std::string name = entry.path().filename().string();
        // Virtual consoles and pseudo-terminals have no device behind them.
        if (!fs::exists(entry.path() / "device", ec)) continue;
        // The legacy ports are always listed by the kernel; type 0 means no UART answered.
        if (fs::exists(entry.path() / "type", ec) && readLine(entry.path() / "type") == "0") continue;
        SerialPortInfo port;
        port.device = (fs::path(devRoot) / name).string();
        if (!fs::exists(port.device, ec)) continue;
        if (name.rfind("ttyS", 0) == 0 && isNumber(name.substr(4)))
            port.alias = "COM" + std::to_string(std::stoul(name.substr(4)) + 1);
        port.description = usbDescription(entry.path() / "device", sysRoot);
        // How long the adapter holds a short reply before sending it on (ftdi_sio and a few others).
        const std::string latency = readLine(fs::path(sysRoot) / "bus/usb-serial/devices" / name / "latency_timer");
        if (isNumber(latency) && latency.size() < 6) port.latencyTimerMs = std::stoi(latency);
        if (::access(port.device.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
            port.accessible = false;
            struct stat st {};
            if (::stat(port.device.c_str(), &st) == 0) {
                port.group = platform::groupNameOf(st.st_gid);
                if (port.group.empty()) port.group = std::to_string(st.st_gid);
                port.owner = platform::userNameOf(st.st_uid);
                if (port.owner.empty()) port.owner = std::to_string(st.st_uid);
                port.rootGroup = st.st_gid == 0;
                port.mode = st.st_mode & 07777;
            }
        }
        ports.push_back(std::move(port));
    }
    // Stable names point at the device node through a relative link.
    const fs::path byIdDir = fs::path(devRoot) / "serial" / "by-id";
    for (const auto& link : fs::directory_iterator(byIdDir, ec)) {
        const fs::path target = fs::canonical(link.path(), ec);
        if (ec) continue;
        for (auto& port : ports)
            if (fs::canonical(port.device, ec) == target) port.byId.push_back(link.path().string());
    }
    for (auto& port : ports) std::sort(port.byId.begin(), port.byId.end());
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) { return a.device < b.device; });
    return ports;
}
