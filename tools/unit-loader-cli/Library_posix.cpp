#include "Library.h"

#include <unistd.h>

#include <cstdlib>

#include "EmbeddedResource.h"
#include "platform/ProgramDirectory.h"
#include "platform/System.h"

bool ExtractedLibrary::extract() {
    remove();
    const std::string name = "px417." + std::to_string(::getpid()) + ".so";
    const std::string dir = platform::programDirectory();
    if (!dir.empty() && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/unit-loader-XXXXXX";
    if (!::mkdtemp(pattern.data())) return false;
    tempDir_ = pattern;
    if (extractLibrary(tempDir_ + "/" + name)) {
        path_ = tempDir_ + "/" + name;
        return true;
    }
    remove();
    return false;
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    if (!tempDir_.empty()) ::rmdir(tempDir_.c_str());
    path_.clear();
    tempDir_.clear();
}
