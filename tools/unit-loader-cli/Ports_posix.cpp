#include "Ports.h"

#include <cstdio>

#include "download/ExitCode.h"

std::string describePorts(const std::vector<SerialPortInfo>& ports) {
    if (ports.empty()) return "No serial devices found.\n";
    std::string text;
    for (const auto& port : ports) {
        text += port.device;
        if (!port.alias.empty()) text += " (" + port.alias + ")";
        if (!port.description.empty()) text += "  " + port.description;
        text += "\n";
        for (const auto& name : port.byId) text += "    by-id: " + name + "\n";
        if (port.latencyTimerMs >= 0) text += "    latency timer: " + std::to_string(port.latencyTimerMs) + " ms\n";
        if (!port.accessible)
            text += "    no permission to open it: " + accessAdvice(port.owner, port.group, port.rootGroup, port.mode) +
                    "\n";
    }
    return text;
}

int portsCommand() {
    std::fputs(describePorts(listSerialPorts()).c_str(), stdout);
    return exitcode::kSuccess;
}
