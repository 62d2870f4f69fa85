#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace tiltwick {

// Milliseconds since the Unix epoch by the real-time clock: whole seconds x 1000 plus the
// nanoseconds part / 1000000, as 64 bits even where time_t is 32 bits. An error describes
// how far before the epoch the clock reads.
std::expected<std::uint64_t, std::string> wall_clock_ms();

// The same arithmetic on an explicit reading, for clocks before and after the epoch.
std::expected<std::uint64_t, std::string> epoch_ms(std::int64_t seconds, std::int64_t nanoseconds);

}  // namespace tiltwick
