#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <filesystem>
#include <fstream>
#include "session/platform/System.h"

#include "SerialDevice.h"
#include "session/Diagnose.h"

namespace fs = std::filesystem;

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The processes this user may see that hold `device` open, as "1234 minicom", at most three.
std::string holders(const std::string& device) {
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    if (ec) return {};
    std::string found;
    int count = 0;
    const std::string self = std::to_string(::getpid());
    auto holds = [&](const fs::path& process) {
        std::error_code error;
        for (fs::directory_iterator fd(process / "fd", error), end; !error && fd != end; fd.increment(error))
            if (fs::read_symlink(fd->path(), error) == target) return true;
        return false;
    };
    // Processes come and go meanwhile: every step takes an error as the end of what there is.
    for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::string pid = proc->path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self || !holds(proc->path())) continue;
        std::string comm;
        std::getline(std::ifstream(proc->path() / "comm"), comm);
        if (count++ < 3) found += (found.empty() ? "" : ", ") + pid + (comm.empty() ? "" : " " + comm);
    }
    return found.empty() ? found : " (process " + found + (count > 3 ? ", ..." : "") + ")";
}

std::string ownerName(uid_t uid) {
    const std::string name = platform::userNameOf(uid);
    return name.empty() ? std::to_string(uid) : name;
}

std::string groupName(gid_t gid) {
    const std::string name = platform::groupNameOf(gid);
    return name.empty() ? std::to_string(gid) : name;
}

std::string portReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        switch (errno) {
        case ENOENT: return "no such device";
        case ENAMETOOLONG: return "the name is too long";
        case ENOTDIR: return "no such device (a part of the path is not a directory)";
        case EACCES: return "permission denied on a directory of the path";
        default: return lowerFirst(std::strerror(errno));
        }
    }
    if (S_ISDIR(st.st_mode)) return "a directory, not a serial device";
    if (S_ISREG(st.st_mode)) return "a regular file, not a serial device";
    if (!S_ISCHR(st.st_mode)) return "not a serial device";
    const Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        switch (errno) {
        case EACCES:
        case EPERM:
            return "permission denied: " +
                   accessAdvice(ownerName(st.st_uid), groupName(st.st_gid), st.st_gid == 0, st.st_mode & 07777);
        case EBUSY: return "in use by another program" + holders(path);
        case ENXIO:
        case ENODEV:
        case EIO: return "no such device (the device file is there, but no hardware answers to it)";
        default: return lowerFirst(std::strerror(errno));
        }
    }
    if (!::isatty(fd.get())) return "not a serial device";
    // The loader takes the port with this lock; someone else holding it is another program.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return "in use by another program" + holders(path);
    return "it opens now; another program may have held it for a moment";
}

}  // namespace

std::string accessAdvice(const std::string& owner, const std::string& group, bool rootGroup, unsigned mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
    const std::string facts = " (owner " + owner + ", group " + group + ", mode " + octal + ")";
    // Read and write both, for the group: a group that may only write does not help.
    if (!rootGroup && (mode & 060) == 060)
        return "join the group \"" + group + "\" that owns it (sudo usermod -aG " + group +
               " $USER, then log in again)";
    const std::string who = (mode & 0600) == 0600 && owner != "root" ? owner + " and root" : "root";
    return "only " + who + " may open it" + facts +
           "; an administrator can give a group access, for example with a udev rule";
}

std::string explainPortFailure(const std::string& port) {
    if (port.empty()) return "No port was given.";
    const std::string path = serialDevicePath(port);
    // A name too long to open is too long to repeat whole.
    const bool long_ = port.size() > 80;
    std::string shown = long_ ? port.substr(0, 60) + "..." : port;
    if (path != port && !long_) shown += " (" + path + ")";
    return "Port " + shown + ": " + portReason(path) + ".";
}
