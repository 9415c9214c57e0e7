#include "Library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "EmbeddedResource.h"
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

bool ExtractedLibrary::extract() {
    remove();
    const std::string name = "px417." + std::to_string(::getpid()) + ".so";
    const std::string dir = platform::programDirectory();
    if (!dir.empty() && onlyUserCanWrite(dir) && extractLibrary(dir + name)) {
        path_ = dir + name;
        return true;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/unit-loader-XXXXXX";
    if (!::mkdtemp(pattern.data())) return false;  // made 0700
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
