#include "SettingsFile.h"

// Beside the program, as the Windows loader has always kept it.
SettingsPlace settingsPlace(const std::string& programDir) { return {programDir + SettingsFile::kFileName, false}; }
