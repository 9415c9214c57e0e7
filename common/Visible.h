#pragma once

#include <string>
#include <string_view>

// A trace message as one printable line: CR, LF, TAB and backslash as \r \n \t \\, every
// other control or non-ASCII byte as \xNN, and an empty message as "(empty)".
std::string visibleText(std::string_view message);

// Wall-clock time of day with milliseconds, "HH:MM:SS.mmm", for trace lines.
std::string traceTimeStamp();
