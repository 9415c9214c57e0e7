#include "EmbeddedResource.h"
#include "ExtractedLibrary.h"
#include "platform/System.h"

// One "px417.dll" beside the program, as the window has always written it.
bool ExtractedLibrary::extract(const std::string& directory) {
    remove();
    const std::string target = directory.empty() ? libraryPath() : directory + platform::libraryFileName();
    if (target.empty() || !extractLibrary(target)) return false;
    path_ = target;
    return true;
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    path_.clear();
}
