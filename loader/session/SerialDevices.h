#pragma once

#include <string>
#include <vector>

// A serial device of this machine, as the window's port list and `unit-loader-cli ports` show it.
struct SerialPortInfo {
    std::string device;             // /dev/ttyUSB0
    std::string alias;              // COM1 for /dev/ttyS0: the name the port list would use
    std::vector<std::string> byId;  // stable names under /dev/serial/by-id
    std::string description;        // USB maker, product, ids and serial number, when USB
    bool accessible = true;         // this user may open it for reading and writing
    std::string group;              // the device's group, when not accessible
    std::string owner;              // and its owner
    bool rootGroup = false;         // the group is root's (gid 0): joining it is no advice to give
    unsigned mode = 0;              // and its permission bits (0660)
    int latencyTimerMs = -1;        // a USB serial adapter's latency timer, where the driver has one
};

// On Linux the ttys backed by hardware (legacy ports without a UART left out), sorted by device
// name; the roots are "/sys" and "/dev" except in tests. On Windows the COM ports of the
// system's device map.
std::vector<SerialPortInfo> listSerialPorts(const std::string& sysRoot = "/sys", const std::string& devRoot = "/dev");
