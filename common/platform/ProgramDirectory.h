#pragma once

#include <string>

namespace platform {

// Directory of the running program, asked of the system, ending with the path separator;
// empty when it cannot be found. The settings file and the extracted library live there.
std::string programDirectory();

// True for a directory of installed programs (/usr/bin/, /usr/local/bin/, the build's install
// directory; given as programDirectory gives it): nothing is written beside a program there,
// whoever runs it, root included. Always false on Windows, where a program keeps its files
// beside itself.
bool isSystemProgramDirectory(const std::string& dir);

}  // namespace platform
