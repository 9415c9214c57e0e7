#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "RecordFile.h"

namespace recordfile {

void makeFolders(const std::string& path) {
    const auto parent = std::filesystem::path(path).parent_path();
    std::filesystem::path at;
    for (const auto& part : parent) {
        at /= part;
        // An existing folder keeps its mode; an error shows when the file is opened.
        ::mkdir(at.c_str(), 0700);
    }
}

std::optional<RecordError> refuseLink(const std::string& path, const std::string& what) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::nullopt;
    return linkRefused(path, what);
}

void makePrivate(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

}  // namespace recordfile
