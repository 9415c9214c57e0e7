#include "platform/Mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

// A mailslot is a Unix datagram socket in a directory that only its owner can enter.
namespace platform {

namespace {

bool ownedPrivateDirectory(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool socketAddress(const std::string& name, bool create, sockaddr_un& addr) {
    if (name.empty() || name.find('/') != std::string::npos) return false;
    const std::string dir = mailslotDirectory(create);
    if (dir.empty()) return false;
    const std::string path = dir + "/" + name;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

std::string mailslotDirectory(bool create) {
    std::string dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        dir = std::string(runtime) + "/orlo-mailslots";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/orlo-mailslots-" + std::to_string(::geteuid());
    }
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // Refuse a directory someone else made or left open: traces may carry firmware bytes.
    return ownedPrivateDirectory(dir) ? dir : std::string();
}

MailslotHandle mailslotOpen(const std::string& name) {
    sockaddr_un addr;
    if (!socketAddress(name, false, addr)) return kNoMailslot;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoMailslot;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return kNoMailslot;
    }
    return fd;
}

bool mailslotWrite(MailslotHandle handle, std::string_view text) {
    if (handle == kNoMailslot) return false;
    // Never waits: a listener that stops reading loses lines, the traced operation no time.
    ssize_t n;
    do {
        n = ::send(static_cast<int>(handle), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(text.size());
}

void mailslotClose(MailslotHandle handle) {
    if (handle != kNoMailslot) ::close(static_cast<int>(handle));
}

struct MailslotListener::Impl {
    int fd = -1;
    std::string path;
    std::vector<char> buffer = std::vector<char>(65536);  // reused for every message
};

MailslotListener::MailslotListener() : impl_(std::make_unique<Impl>()) {}

MailslotListener::~MailslotListener() { close(); }

bool MailslotListener::create(const std::string& name, std::string* error) {
    close();
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    sockaddr_un addr;
    if (!socketAddress(name, true, addr)) return fail("no private mailslot directory or a bad mailslot name");
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(std::strerror(errno));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EADDRINUSE) {
            std::string why = std::strerror(errno);
            ::close(fd);
            return fail(why);
        }
        // A socket file without a live owner is left over from a crash: take it over.
        int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (alive) {
            ::close(fd);
            return fail("another listener already has this mailslot");
        }
        ::unlink(addr.sun_path);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::string why = std::strerror(errno);
            ::close(fd);
            return fail(why);
        }
    }
    struct stat st {};
    if (::stat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        ::close(fd);
        return fail("cannot create the mailslot socket");
    }
    // Let bursts of trace lines queue up rather than stall writers.
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    impl_->fd = fd;
    impl_->path = addr.sun_path;
    return true;
}

MailslotListener::Receive MailslotListener::receive(std::string& message, std::chrono::milliseconds timeout) {
    if (impl_->fd < 0) return Receive::Error;
    pollfd p{impl_->fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    if (r == 0) return Receive::Timeout;
    if (r < 0) return Receive::Error;
    std::vector<char>& buf = impl_->buffer;
    ssize_t n;
    do {
        n = ::recv(impl_->fd, buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Receive::Error;
    message.assign(buf.data(), static_cast<std::size_t>(n));
    return Receive::Message;
}

int MailslotListener::pollHandle() const { return impl_->fd; }

void MailslotListener::close() {
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
        ::unlink(impl_->path.c_str());
        impl_->fd = -1;
        impl_->path.clear();
    }
}

}  // namespace platform
