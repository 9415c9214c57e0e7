#include "platform/ProgramDirectory.h"

#include <unistd.h>

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

}  // namespace platform
