#pragma once

#include <string>

// Why something the loader could not open did not open, found by looking again: the loader's
// boxes say only that it failed. One line each, naming what was opened.

// "Port COM3 (/dev/ttyS2): no such device." One file per platform.
std::string explainPortFailure(const std::string& port);
// "File /x/fw.bin: permission denied."
std::string explainFileFailure(const std::string& path);

// A system message as it reads inside a sentence: its first letter lower-case.
std::string lowerFirst(std::string text);
