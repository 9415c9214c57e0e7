#include <windows.h>

#include "EmbeddedResource.h"
#include "Library.h"
#include "platform/ProgramDirectory.h"
#include "platform/System.h"

// "px417.<process id>.dll" beside the program, else in a directory of its own under the
// user's temporary directory.
bool ExtractedLibrary::extract() {
    remove();
    const std::string name = "px417." + std::to_string(::GetCurrentProcessId()) + ".dll";
    const std::string dir = platform::programDirectory();
    if (!dir.empty() && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    char temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > MAX_PATH) return false;
    for (unsigned attempt = 0; attempt < 100 && tempDir_.empty(); ++attempt) {
        const std::string candidate = std::string(temp) + "unit-loader-" + std::to_string(::GetCurrentProcessId()) +
                                      "-" + std::to_string(::GetTickCount() + attempt);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) tempDir_ = candidate;
    }
    if (tempDir_.empty()) return false;
    if (extractLibrary(tempDir_ + "\\" + name)) {
        path_ = tempDir_ + "\\" + name;
        return true;
    }
    remove();
    return false;
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    if (!tempDir_.empty()) ::RemoveDirectoryA(tempDir_.c_str());
    path_.clear();
    tempDir_.clear();
}
