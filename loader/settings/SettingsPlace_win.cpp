#include <windows.h>

#include "settings/SettingsFile.h"
#include "settings/SitePolicy.h"

// Beside the program, as the Windows loader has always kept it.
SettingsPlace settingsPlace(const std::string& programDir) { return {programDir + SettingsFile::kFileName, false}; }

bool fileTakesWrites(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // none yet, or the writing will fail on its own
    if (attributes & FILE_ATTRIBUTE_READONLY) return false;
    // The file's access list: may this user write it at all?
    HANDLE file = ::CreateFileA(path.c_str(), FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError() != ERROR_ACCESS_DENIED;
    ::CloseHandle(file);
    return true;
}

// The Windows build reads no system-wide policy yet.
std::string systemPolicyPath() { return {}; }
