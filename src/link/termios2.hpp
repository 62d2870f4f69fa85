#pragma once
// The kernel's termios2 interface, which sets any integer baud rate (BOTHER), lives in a
// translation unit of its own: its <asm/termbits.h> and the C library's <termios.h> declare
// the same names (struct termios, the flag macros) differently and cannot share one.

#include <cstdint>

namespace tiltwick {

// Returned when the driver took the request but keeps speeds other than the ones asked for.
inline constexpr int speed_not_kept = -1;

// Sets 8N1, no flow control, IGNPAR and both speeds to `baud_rate` (any rate the driver
// accepts), then reads the speeds back. Returns 0, the errno of the failing request, or
// speed_not_kept.
int apply_line_format_and_speed(int fd, std::uint32_t baud_rate);

}  // namespace tiltwick
