#pragma once

#include <string>
#include <vector>

#include "SerialDevices.h"

std::string describePorts(const std::vector<SerialPortInfo>& ports);
int portsCommand();
