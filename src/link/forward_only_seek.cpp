#include "link/forward_only_seek.hpp"

#include <algorithm>
#include <array>

namespace tiltwick {

std::expected<void, IoError> ForwardOnlySeek::skip(std::uint64_t count) {
    std::array<std::uint8_t, skip_chunk> scratch{};
    while (count > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, scratch.size()));
        auto done = read_exact(*this, std::span(scratch).first(chunk));
        if (!done) return done;
        count -= chunk;
    }
    return {};
}

void ForwardOnlySeek::remember(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 2) {
        last_[0] = bytes[bytes.size() - 2];
        last_[1] = bytes.back();
        last_count_ = 2;
        return;
    }
    last_[0] = last_[1];
    last_[1] = bytes[0];
    last_count_ = std::min<std::size_t>(last_count_ + 1, 2);
}

}  // namespace tiltwick
