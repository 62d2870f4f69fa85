#include "link/termios2.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace tiltwick {

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
    return 0;
}

}  // namespace tiltwick
