#include "Ports.h"

#include <cstdio>

#include "ExitCode.h"

std::string accessAdvice(const std::string& owner, const std::string& group, bool rootGroup, unsigned mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
    const std::string facts = " (owner " + owner + ", group " + group + ", mode " + octal + ")";
    // Read and write both, for the group: a group that may only write does not help.
    if (!rootGroup && (mode & 060) == 060)
        return "join the group \"" + group + "\" that owns it (sudo usermod -aG " + group +
               " $USER, then log in again)";
    const std::string who = (mode & 0600) == 0600 && owner != "root" ? owner + " and root" : "root";
    return "only " + who + " may open it" + facts +
           "; an administrator can give a group access, for example with a udev rule";
}

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
