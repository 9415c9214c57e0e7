#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "station/PathWatch.h"

namespace station {

struct PathWatch::Impl {
    std::string path;
    std::string folder;
    std::string name;
    int fd = -1;
    int watch = -1;
    bool vanished = false;

    // The folder may not exist yet (/dev/serial/by-id comes with the first adapter): tried again
    // at every look.
    void arm() {
        if (fd < 0 || watch >= 0) return;
        watch = ::inotify_add_watch(
            fd, folder.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF);
    }
    void drain() {
        if (fd < 0) return;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((e->mask & (IN_DELETE | IN_MOVED_FROM)) && e->len && name == e->name) vanished = true;
                if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    vanished = true;
                    watch = -1;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }
};

PathWatch::PathWatch(std::string path) : impl_(std::make_unique<Impl>()) {
    const std::filesystem::path p(path);
    impl_->path = std::move(path);
    impl_->folder = p.has_parent_path() ? p.parent_path().string() : ".";
    impl_->name = p.filename().string();
    impl_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    impl_->arm();
}

PathWatch::~PathWatch() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

bool PathWatch::present() {
    impl_->arm();
    impl_->drain();
    std::error_code ec;
    const bool there = std::filesystem::exists(impl_->path, ec);
    if (impl_->vanished) {
        impl_->vanished = false;
        return false;
    }
    return there;
}

void PathWatch::wait(std::chrono::milliseconds limit) {
    impl_->arm();
    if (impl_->fd < 0 || impl_->watch < 0) {
        // No folder to watch yet: a plain wait, the next look tries again.
        std::this_thread::sleep_for(limit);
        return;
    }
    pollfd p{impl_->fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(limit.count()));
}

}  // namespace station
