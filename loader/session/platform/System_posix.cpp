#include "session/platform/System.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

const char* libraryFileName() { return "px417.so"; }

std::string userNameOf(unsigned id) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(static_cast<uid_t>(id), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name)
        return {};
    return found->pw_name;
}

std::string groupNameOf(unsigned id) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(65536);  // a group lists its members
    if (::getgrgid_r(static_cast<gid_t>(id), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->gr_name)
        return {};
    return found->gr_name;
}

bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0755) == 0;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool DynamicLibrary::open(const std::string& fullPath) {
    close();
    // Only a path with a directory part: dlopen would otherwise search the library path.
    if (fullPath.find('/') == std::string::npos) return false;
    handle_ = ::dlopen(fullPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void* DynamicLibrary::symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

void DynamicLibrary::close() {
    if (handle_) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

}  // namespace platform
