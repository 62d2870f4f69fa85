#pragma once
// The kernel's termios2 interface, which sets any integer baud rate (BOTHER), lives in a
// translation unit of its own: its <asm/termbits.h> and the C library's <termios.h> declare
// the same names (struct termios, the flag macros) differently and cannot share one.

#include <cstdint>

namespace tiltwick {

// Sets 8N1, no flow control, IGNPAR and both speeds to `baud_rate` (any rate the driver
// accepts). Returns 0, or the errno of the failing request.
int apply_line_format_and_speed(int fd, std::uint32_t baud_rate);

}  // namespace tiltwick
