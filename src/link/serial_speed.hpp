#pragma once
// The arbitrary-rate terminal interface lives in its own translation unit: the kernel's
// termios2 header and the C library's <termios.h> declare the same names differently.

#include <cstdint>

namespace tiltwick {

// Sets 8N1, no flow control, IGNPAR and both speeds to `baud_rate` (any rate the driver
// accepts). Returns 0, or the errno of the failing request.
int apply_line_format_and_speed(int fd, std::uint32_t baud_rate);

}  // namespace tiltwick
