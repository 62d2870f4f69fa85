#include "link/resync.hpp"

#include <algorithm>

#include "link/mip_packet.hpp"

namespace tiltwick {

std::expected<void, IoError> Resync::skip_after_failure(ForwardOnlySeek& stream) {
    if (auto skipped = stream.skip(1); !skipped) {
        forget();
        return skipped;
    }
    keep_sync_bytes_ending(stream.last_bytes());
    return {};
}

void Resync::keep_sync_bytes_ending(std::span<const std::uint8_t> last_bytes) {
    // The discarded bytes are the kept sync bytes followed by what the attempt read.
    std::uint8_t history[4];
    std::size_t size = 0;
    const std::uint8_t sync[2] = {sync1, sync2};
    for (std::uint8_t i = 0; i < kept_; ++i) history[size++] = sync[i];
    for (auto byte : last_bytes.last(std::min<std::size_t>(last_bytes.size(), 2))) history[size++] = byte;

    if (size >= 1 && history[size - 1] == sync1) {
        kept_ = 1;
    } else if (size >= 2 && history[size - 2] == sync1 && history[size - 1] == sync2) {
        kept_ = 2;
    } else {
        kept_ = 0;
    }
}

}  // namespace tiltwick
