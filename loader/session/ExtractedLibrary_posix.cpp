#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "EmbeddedResource.h"
#include "ExtractedLibrary.h"
#include "platform/ProgramDirectory.h"
#include "platform/System.h"

namespace {
// Code loaded from a directory that others may write could be swapped between writing and
// loading it: only one owned by this user (or root) and writable by nobody else will do.
bool onlyUserCanWrite(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
}  // namespace

bool ExtractedLibrary::extract(For, const std::string& directory) {
    remove();
    const std::string name = "px417." + std::to_string(::getpid()) + ".so";
    const std::string dir = directory.empty() ? platform::programDirectory() : directory;
    if (!dir.empty() && onlyUserCanWrite(dir) && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    // mkdtemp makes the directory 0700: no other user can swap the file before it is loaded.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/unit-loader-XXXXXX";
    if (!::mkdtemp(pattern.data())) return false;
    privateDir_ = pattern;
    if (extractLibrary(privateDir_ + "/" + name)) {
        path_ = privateDir_ + "/" + name;
        return true;
    }
    remove();
    return false;
}

void ExtractedLibrary::remove() {
    if (!path_.empty()) platform::removeFile(path_);
    if (!privateDir_.empty()) ::rmdir(privateDir_.c_str());
    path_.clear();
    privateDir_.clear();
}
