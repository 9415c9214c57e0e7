#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "SerialDevice.h"
#include "session/Diagnose.h"
#include "station/PortCheck.h"

namespace station {

PortLook lookAtPort(const std::string& port) {
    PortLook look;
    const std::string path = serialDevicePath(port);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        look.missing = errno == ENOENT || errno == ENOTDIR;
        look.problem = explainPortFailure(port);
        return look;
    }
    // A link or a second device node for the same device has the same number.
    if (S_ISCHR(st.st_mode)) look.device = static_cast<std::uint64_t>(st.st_rdev);
    // Opened as the slot will open it, and let go at once; nothing is sent or set. A program
    // that held it for a moment (a probe of the system's) is given a second chance.
    const auto opens = [&] {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool usable = fd >= 0 && ::isatty(fd) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) ::close(fd);
        return usable;
    };
    bool usable = S_ISCHR(st.st_mode) && opens();
    if (!usable && S_ISCHR(st.st_mode)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        usable = opens();
    }
    if (!usable) look.problem = explainPortFailure(port);
    return look;
}

}  // namespace station
