#include "platform/ProgramDirectory.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace platform {

std::string programDirectory() {
    // The module file name split into drive, directory, name and extension; drive and
    // directory joined again end with the separator. The checked form of the split: a
    // directory longer than its buffer is refused rather than written past it.
    std::vector<char> path(1024);
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return {};
    char drive[3];
    char dir[256];
    char name[256];
    char ext[256];
    if (::_splitpath_s(path.data(), drive, sizeof drive, dir, sizeof dir, name, sizeof name, ext, sizeof ext) != 0)
        return {};
    return std::string(drive) + dir;
}

bool isSystemProgramDirectory(const std::string&) { return false; }

}  // namespace platform
