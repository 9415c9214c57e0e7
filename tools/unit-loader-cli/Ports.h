#pragma once

#include <string>
#include <vector>

#include "session/Diagnose.h"  // accessAdvice
#include "session/SerialDevices.h"

std::string describePorts(const std::vector<SerialPortInfo>& ports);
int portsCommand();
