#include "session/EmbeddedResource.h"

#include "platform/ProgramDirectory.h"
#include "session/platform/System.h"

std::string libraryPath() {
    const std::string dir = platform::programDirectory();
    return dir.empty() ? std::string() : dir + platform::libraryFileName();
}

bool extractLibrary(const std::string& path) {
    const std::string target = path.empty() ? libraryPath() : path;
    if (target.empty()) return false;
    auto bytes = findResource(kLibraryResourceType, kLibraryResourceName);
    if (!bytes || bytes->empty()) return false;
    return platform::replaceFile(target, *bytes);
}
