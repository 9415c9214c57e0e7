#include <windows.h>

#include "EmbeddedResource.h"
#include "ExtractedLibrary.h"
#include "platform/ProgramDirectory.h"
#include "platform/System.h"

// The window: "px417.dll" beside the program. A command-line run: "px417.<process id>.dll"
// beside the program, else in a directory of its own under the user's temporary directory.
bool ExtractedLibrary::extract(For user, const std::string& directory) {
    remove();
    const std::string dir = directory.empty() ? platform::programDirectory() : directory;
    if (user == For::Window) {
        if (dir.empty() || !extractLibrary(dir + platform::libraryFileName())) return false;
        path_ = dir + platform::libraryFileName();
        return true;
    }
    const std::string name = "px417." + std::to_string(::GetCurrentProcessId()) + ".dll";
    if (!dir.empty() && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    char temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > MAX_PATH) return false;
    for (unsigned attempt = 0; attempt < 100 && privateDir_.empty(); ++attempt) {
        const std::string candidate = std::string(temp) + "unit-loader-" + std::to_string(::GetCurrentProcessId()) +
                                      "-" + std::to_string(::GetTickCount() + attempt);
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) privateDir_ = candidate;
    }
    if (privateDir_.empty()) return false;
    if (extractLibrary(privateDir_ + "\\" + name)) {
        path_ = privateDir_ + "\\" + name;
        return true;
    }
    remove();
    return false;
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    if (!privateDir_.empty()) ::RemoveDirectoryA(privateDir_.c_str());
    path_.clear();
    privateDir_.clear();
}
