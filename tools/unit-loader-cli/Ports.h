#pragma once

#include <string>
#include <vector>

#include "SerialDevices.h"

// What a user who may not open a device can do about it: join its group where that would let them
// open it, else who may ("join the group \"dialout\" ...", "only root may open it ...").
std::string accessAdvice(const std::string& owner, const std::string& group, bool rootGroup, unsigned mode);

std::string describePorts(const std::vector<SerialPortInfo>& ports);
int portsCommand();
