#include "link/termios2.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace tiltwick {

namespace {

// Drivers answer a rate they cannot make without failing the request: a 16550 keeps its
// previous rate above clock / 16, an FTDI adapter falls back to 9600 above 3 Mbaud. Some round
// to the nearest rate they can make; within 2 % (what a UART tolerates) that is the rate asked for.
bool close_to(std::uint32_t kept, std::uint32_t asked) {
    const std::uint64_t off = kept > asked ? kept - asked : asked - kept;
    return off * 50 <= asked;
}

}  // namespace

int apply_line_format_and_speed(int fd, std::uint32_t baud_rate) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
    settings.c_iflag |= IGNPAR;
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CRTSCTS | CSIZE | CBAUD | CIBAUD);
    settings.c_cflag |= CS8 | BOTHER;
    settings.c_ispeed = baud_rate;
    settings.c_ospeed = baud_rate;
    if (ioctl(fd, TCSETS2, &settings) != 0) return errno;
    struct termios2 applied {};
    if (ioctl(fd, TCGETS2, &applied) != 0) return errno;
    if (!close_to(applied.c_ispeed, baud_rate) || !close_to(applied.c_ospeed, baud_rate)) return speed_not_kept;
    return 0;
}

}  // namespace tiltwick
