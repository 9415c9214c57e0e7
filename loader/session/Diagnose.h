#pragma once

#include <string>

// Why something the loader could not open did not open, found by looking again: the loader's
// boxes say only that it failed. One line each, naming what was opened.

// "Port COM3 (/dev/ttyS2): no such device." One file per platform.
std::string explainPortFailure(const std::string& port);
// "File /x/fw.bin: permission denied."
std::string explainFileFailure(const std::string& path);

// What a user who may not open a device can do about it: join its group where that would let them
// open it, else who may ("join the group \"dialout\" ...", "only root may open it ..."). Linux.
std::string accessAdvice(const std::string& owner, const std::string& group, bool rootGroup, unsigned mode);

// A system message as it reads inside a sentence: its first letter lower-case.
std::string lowerFirst(std::string text);
