#include "PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace unitsim {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    try {
        if (grantpt(master_) != 0) fail("grantpt");
        if (unlockpt(master_) != 0) fail("unlockpt");
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) fail("ptsname_r");
        slavePath_ = name;

        const int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl O_NONBLOCK");

        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave_ < 0) fail("open pty slave");

        // Raw, so every byte passes the line discipline unchanged in both directions until the
        // host applies its own settings.
        termios tio{};
        if (tcgetattr(slave_, &tio) != 0) fail("tcgetattr");
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        cfsetspeed(&tio, B38400);
        if (tcsetattr(slave_, TCSANOW, &tio) != 0) fail("tcsetattr");
    } catch (...) {
        close();
        throw;
    }
}

PseudoTerminal::~PseudoTerminal() { close(); }

int PseudoTerminal::pendingForHost() const {
    int count = 0;
    if (slave_ < 0 || ::ioctl(slave_, TIOCINQ, &count) != 0) return 0;
    return count;
}

void PseudoTerminal::close() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = -1;
    slave_ = -1;
}

}  // namespace unitsim
