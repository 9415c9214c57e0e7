#pragma once

#include <string>

namespace platform {

// Directory of the running program, asked of the system, ending with the path separator;
// empty when it cannot be found. The settings file and the extracted library live there.
std::string programDirectory();

}  // namespace platform
