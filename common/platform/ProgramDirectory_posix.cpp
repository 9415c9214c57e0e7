#include "platform/ProgramDirectory.h"

#include <unistd.h>

#include <array>
#include <vector>

namespace platform {

std::string programDirectory() {
    std::vector<char> buf(1024);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            auto slash = path.rfind('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        buf.resize(buf.size() * 2);
    }
}

bool isSystemProgramDirectory(const std::string& dir) {
    static constexpr std::array<const char*, 7> kSystem = {
        "/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/", "/usr/local/bin/", "/usr/games/", UL_INSTALL_BINDIR "/",
    };
    for (const char* system : kSystem)
        if (dir == system) return true;
    return false;
}

}  // namespace platform
