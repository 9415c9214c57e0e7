#include "LineRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int lineRateOf(int fd) {
    termios2 t{};
    return ::ioctl(fd, TCGETS2, &t) == 0 ? static_cast<int>(t.c_ospeed) : 0;
}
