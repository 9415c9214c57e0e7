#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TestBytes.h"

// The host's end of the line in tests: opens the slave device the way the serial library does and
// trades raw bytes with the simulated unit.
class HostPort {
public:
    using Bytes = ::Bytes;

    explicit HostPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        if (::ioctl(fd_, TIOCEXCL) != 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            close();
            return;
        }
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD | PARENB;
        cfsetspeed(&tio, B38400);
        tcsetattr(fd_, TCSANOW, &tio);
        tcflush(fd_, TCIOFLUSH);
    }
    ~HostPort() { close(); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) {
            ::ioctl(fd_, TIOCNXCL);
            ::close(fd_);
        }
        fd_ = -1;
    }

    bool writeRaw(const Bytes& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    bool send(const Bytes& frameWithoutCheck) { return writeRaw(onLine(frameWithoutCheck)); }

    // One byte, or none when `timeout` passes first or the line is gone.
    std::optional<std::uint8_t> readByte(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || (p.revents & POLLIN) == 0) return std::nullopt;
        std::uint8_t b = 0;
        if (::read(fd_, &b, 1) != 1) return std::nullopt;
        return b;
    }

    // The next `count` bytes; fewer when one does not come within `byteTimeout`.
    Bytes readBytes(std::size_t count, std::chrono::milliseconds byteTimeout = std::chrono::milliseconds(1000)) {
        Bytes bytes;
        while (bytes.size() < count)
            if (auto b = readByte(byteTimeout))
                bytes.push_back(*b);
            else
                break;
        return bytes;
    }

    // The next whole frame, found the way the serial library finds it: hunt for the sync byte,
    // then the length byte decides. Empty when a byte does not come within `byteTimeout`.
    Bytes readFrame(std::chrono::milliseconds byteTimeout = std::chrono::milliseconds(1000)) {
        Bytes frame;
        for (;;) {
            auto b = readByte(byteTimeout);
            if (!b) return {};
            if (frame.empty() && *b != unitframe::kSync) continue;
            frame.push_back(*b);
            if (frame.size() >= 2 && frame.size() == frame[1]) return frame;
        }
    }

    Bytes exchange(const Bytes& frameWithoutCheck) {
        if (!send(frameWithoutCheck)) return {};
        return readFrame();
    }

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};
