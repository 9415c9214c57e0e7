#pragma once

// The unit's end of the line in tests: the master side of a pseudo-terminal whose slave
// side the code under test opens by path.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "Crc16.h"

using Bytes = std::vector<std::uint8_t>;

class PtyPeer {
public:
    PtyPeer() {
        termios raw{};
        ::cfmakeraw(&raw);
        if (::openpty(&master_, &slave_, nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
        path_ = ::ptsname(master_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    }
    ~PtyPeer() {
        closeMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // The device path to open. The peer keeps a slave descriptor of its own, so the line
    // does not hang up between one open of the path and the next; it never reads from it.
    const std::string& path() const { return path_; }
    int slaveFd() const { return slave_; }
    int masterFd() const { return master_; }

    void closeMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Sends bytes to the code under test.
    bool send(const Bytes& bytes, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + bound;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (!waitFor(POLLOUT, end)) return false;
        }
        return true;
    }

    // Up to `count` bytes that the code under test wrote, waiting at most `bound` for them.
    Bytes receive(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + bound;
        Bytes out;
        while (out.size() < count) {
            std::uint8_t buf[512];
            std::size_t want = std::min(sizeof buf, count - out.size());
            ssize_t n = ::read(master_, buf, want);
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            if (!waitFor(POLLIN, end)) break;
        }
        return out;
    }

    // Whatever the code under test has written and not yet been received.
    Bytes pending() { return receive(4096, std::chrono::milliseconds(0)); }

private:
    bool waitFor(short events, std::chrono::steady_clock::time_point end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{master_, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        return r > 0 || (r < 0 && errno == EINTR);
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Frame of `length` bytes (5 to 255) with answer byte `code`, data bytes counting up and a
// good check code.
inline Bytes makeFrame(std::uint8_t length, std::uint8_t code) {
    Bytes frame{0xFC, length, code};
    while (frame.size() < static_cast<std::size_t>(length) - 2)
        frame.push_back(static_cast<std::uint8_t>(frame.size()));
    Crc16 crc;
    crc.update(frame);
    frame.push_back(crc.low());
    frame.push_back(crc.high());
    return frame;
}
