#pragma once

#include <string>

// What keeps `key` from being read out of the settings file at `path`, in words, for a note
// ("line 1 has the key \"port\"; it must be written \"Port\""). Read by the same rules as the
// settings file itself (only a regular file is opened).
std::string settingsProblem(const std::string& path, const std::string& key);
