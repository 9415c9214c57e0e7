#include <cstdio>

#include "Ports.h"
#include "download/ExitCode.h"

std::string describePorts(const std::vector<SerialPortInfo>& ports) {
    if (ports.empty()) return "No serial ports found.\n";
    std::string text;
    for (const auto& port : ports) text += port.device + "  " + port.description + "\n";
    return text;
}

int portsCommand() {
    std::fputs(describePorts(listSerialPorts()).c_str(), stdout);
    return exitcode::kSuccess;
}
