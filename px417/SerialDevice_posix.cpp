#include "SerialDevice.h"

// The kernel's termios2 rather than the C library's termios: only it sets a rate outside the
// table of B-constants exactly (BOTHER), as a Windows driver takes any rate it can make.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <thread>
#include <utility>

namespace {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);  // also drops the advisory lock
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Rate {
    std::int32_t baud;
    tcflag_t code;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000},
};

// Output and input at `baud`: the table's code where there is one (every driver knows those),
// else the exact rate.
void setSpeed(termios2& t, std::int32_t baud) {
    tcflag_t code = BOTHER;
    for (const auto& r : kRates)
        if (r.baud == baud) code = r.code;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));  // input follows output
    t.c_cflag |= code;
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baud);
}

std::int32_t lineRate(int fd) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return 0;
    return static_cast<std::int32_t>(std::min<speed_t>(t.c_ospeed, std::numeric_limits<std::int32_t>::max()));
}

bool dataBitsFlag(std::int32_t dataBits, tcflag_t& flag) {
    switch (dataBits & 0xFF) {  // only the low byte counts, as with the line's byte-size field
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

int ioctlRetry(int fd, unsigned long request, int* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// A USB serial adapter holds a short reply back for its latency timer (16 ms on many) before
// passing it on; low-latency mode asks the driver to pass it on at once. Pseudo-terminals and
// drivers without the setting refuse, which changes nothing. True when this call set it.
bool setLowLatency(int fd, bool on) {
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    const int flag = static_cast<int>(ASYNC_LOW_LATENCY);
    if (((info.flags & flag) != 0) == on) return false;
    info.flags = on ? info.flags | flag : info.flags & ~flag;
    return ::ioctl(fd, TIOCSSERIAL, &info) == 0;
}

// Raw binary line with even parity and one stop bit; every other setting stays as the driver
// had it. Nothing here is checked: a setting the driver refuses leaves the line as it was.
void configure(int fd, std::int32_t baudRate, std::int32_t dataBits) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    t.c_iflag |= INPCK;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(PARODD | CSTOPB);
    t.c_cflag |= PARENB | CREAD | CLOCAL;
    tcflag_t size;
    if (dataBitsFlag(dataBits, size)) t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    // A rate of 0 would hang the line up rather than set a speed.
    if (baudRate > 0) {
        termios2 withRate = t;
        setSpeed(withRate, baudRate);
        if (::ioctl(fd, TCSETS2, &withRate) == 0) return;
    }
    // Rate refused: apply the rest at the previous speed.
    ::ioctl(fd, TCSETS2, &t);
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Time that `count` bytes of 11 bits (start, 8 data, parity, stop) take on the line.
std::chrono::microseconds lineTime(std::size_t count, std::int32_t baudRate) {
    const long long rate = baudRate > 0 ? baudRate : 50;  // unknown: the slowest rate there is
    return std::chrono::microseconds(static_cast<long long>(count) * 11 * 1000000 / rate);
}

enum class Drain { Sent, TimedOut, Failed };

// Waits until the driver has nothing left to send. Its queue is watched rather than waited on
// (tcdrain has no time-out): each look sleeps about as long as the queued bytes need.
Drain waitUntilSent(int fd, Clock::time_point deadline, std::int32_t baudRate) {
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
            // A device that cannot tell has still taken every byte; any other failure (a
            // vanished adapter) is a failed write.
            return errno == ENOTTY || errno == EINVAL ? Drain::Sent : Drain::Failed;
        if (queued <= 0) return Drain::Sent;
        const auto now = Clock::now();
        if (now >= deadline) return Drain::TimedOut;
        const auto nap = std::max<Clock::duration>(lineTime(static_cast<std::size_t>(queued), baudRate),
                                                   std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::min<Clock::duration>(nap, deadline - now));
    }
}

}  // namespace

struct SerialDevice::Impl {
    UniqueFd fd;
    std::int32_t baudRate = 0;
    bool lowLatencySet = false;  // cleared again at close: the adapter is left as it was found
};

std::string serialDevicePath(const std::string& portName) {
    if (portName.find('/') != std::string::npos) return portName;
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (portName.size() > 3 && upper(portName[0]) == 'C' && upper(portName[1]) == 'O' && upper(portName[2]) == 'M' &&
        portName[3] != '0') {
        bool digits = portName.size() <= 3 + 9;
        for (std::size_t i = 3; i < portName.size() && digits; ++i) digits = portName[i] >= '0' && portName[i] <= '9';
        if (digits) return "/dev/ttyS" + std::to_string(std::stoul(portName.substr(3)) - 1);
    }
    return "/dev/" + portName;
}

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() = default;

bool SerialDevice::isOpen() const { return static_cast<bool>(impl_->fd); }

std::int32_t SerialDevice::baudRate() const { return impl_->fd ? impl_->baudRate : 0; }

bool SerialDevice::open(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits) {
    close();
    if (portName.empty()) return false;
    const std::string path = serialDevicePath(portName);
    // Only a terminal device is a serial line: a file, a FIFO or a directory named by mistake is
    // not even opened, and a device that opens but is no terminal (/dev/null) is left at once.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || !::isatty(fd.get())) return false;
    // The lock keeps out a second open from any process, privileged ones and this one
    // included; exclusive mode then keeps out unprivileged opens that ignore the lock. Exclusive
    // mode is set only once the lock is ours, so a refused open never leaves it behind.
    int r;
    do {
        r = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (r < 0 && errno == EINTR);
    if (r != 0) return false;
    ::ioctl(fd.get(), TIOCEXCL);

    configure(fd.get(), baudRate, dataBits);
    impl_->lowLatencySet = setLowLatency(fd.get(), true);
    ::ioctl(fd.get(), TCFLSH, TCIOFLUSH);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctlRetry(fd.get(), TIOCMBIS, &lines);  // a pseudo-terminal refuses; that is fine
    impl_->baudRate = lineRate(fd.get());
    impl_->fd = std::move(fd);
    return true;
}

void SerialDevice::close() {
    if (!impl_->fd) return;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctlRetry(impl_->fd.get(), TIOCMBIC, &lines);
    // Exclusive mode belongs to the tty, not to this descriptor: a tty that outlives the close
    // (a pseudo-terminal whose master stays open) would refuse every later unprivileged open.
    ::ioctl(impl_->fd.get(), TIOCNXCL);
    if (impl_->lowLatencySet) setLowLatency(impl_->fd.get(), false);
    impl_->lowLatencySet = false;
    impl_->fd.reset();
    impl_->baudRate = 0;
}

bool SerialDevice::readByte(std::uint8_t& byte) { return readByteWithin(byte, kReadWait); }

bool SerialDevice::readByteWithin(std::uint8_t& byte, std::chrono::milliseconds limit) {
    if (!impl_->fd) return false;
    const int fd = impl_->fd.get();
    const auto deadline = Clock::now() + std::clamp(limit, std::chrono::milliseconds(0), kReadWait);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, remainingMs(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        ssize_t n = ::read(fd, &byte, 1);
        if (n == 1) return true;
        if (n == 0) return false;
        if (errno != EINTR && errno != EAGAIN) return false;
        // Readable but nothing to read: unless the device has gone, wait for the rest of the time.
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN)) return false;
        if (remainingMs(deadline) == 0) return false;
    }
}

bool SerialDevice::writeBytes(const std::uint8_t* data, std::size_t count) {
    if (!impl_->fd) return false;
    const int fd = impl_->fd.get();
    const auto deadline = Clock::now() + std::chrono::seconds(1) + 2 * lineTime(count, impl_->baudRate);
    auto giveUp = [fd] {
        ::ioctl(fd, TCFLSH, TCOFLUSH);  // what did not go must not follow as a late, partial frame
        return false;
    };
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            const int left = remainingMs(deadline);
            if (left == 0) return giveUp();
            pollfd p{fd, POLLOUT, 0};
            int r = ::poll(&p, 1, left);
            if (r < 0 && errno != EINTR) return false;
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) return false;
            continue;
        }
        return false;
    }
    switch (waitUntilSent(fd, deadline, impl_->baudRate)) {
    case Drain::Sent: return true;
    case Drain::TimedOut: return giveUp();
    case Drain::Failed: return false;
    }
    return false;
}
