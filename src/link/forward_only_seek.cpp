#include "link/forward_only_seek.hpp"

#include <algorithm>
#include <array>

namespace tiltwick {

std::expected<std::uint64_t, IoError> ForwardOnlySeek::seek(SeekOrigin origin, std::int64_t offset) {
    if (origin == SeekOrigin::End) {
        return std::unexpected(
            IoError::custom(IoErrorKind::Other, "Seeking from End is not supported in forward-only mode"));
    }
    if (offset < 0) {
        return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "Cannot seek to a negative position"));
    }
    auto skipped = skip(static_cast<std::uint64_t>(offset));
    if (!skipped) return std::unexpected(std::move(skipped.error()));
    return origin == SeekOrigin::Current ? static_cast<std::uint64_t>(offset) : 0;
}

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
