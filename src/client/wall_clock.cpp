#include "client/wall_clock.hpp"

#include <ctime>

namespace tiltwick {

std::expected<std::uint64_t, std::string> epoch_ms(std::int64_t seconds, std::int64_t nanoseconds) {
    if (seconds < 0) {
        // The reading is seconds + nanoseconds / 1e9; report how far it lies before the epoch.
        const std::int64_t behind_ns = -(seconds * 1000000000 + nanoseconds);
        return std::unexpected("the clock reads " + std::to_string(behind_ns / 1000000000) + "." +
                               std::to_string(1000000000 + behind_ns % 1000000000).substr(1) +
                               " s before the Unix epoch");
    }
    return static_cast<std::uint64_t>(seconds) * 1000 + static_cast<std::uint64_t>(nanoseconds) / 1000000;
}

std::expected<std::uint64_t, std::string> wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return epoch_ms(static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec));
}

}  // namespace tiltwick
