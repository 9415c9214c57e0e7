#pragma once

#include <string>
#include <vector>

#include "Diagnose.h"  // accessAdvice
#include "SerialDevices.h"

std::string describePorts(const std::vector<SerialPortInfo>& ports);
int portsCommand();
