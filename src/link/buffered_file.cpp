#include "link/buffered_file.hpp"

#include <algorithm>
#include <cstring>

#include "link/recorded_file.hpp"

namespace tiltwick {

std::expected<std::size_t, IoError> BufferedFile::read_some(std::span<std::uint8_t> into) {
    if (into.empty()) return 0;
    if (begin_ == end_) {
        auto got = read_once(fd_.get(), buffer_);
        if (!got) return std::unexpected(std::move(got.error()));
        begin_ = 0;
        end_ = *got;
        file_position_ += *got;
        if (end_ == 0) return 0;
    }
    const std::size_t count = std::min(into.size(), end_ - begin_);
    std::memcpy(into.data(), buffer_.data() + begin_, count);
    begin_ += count;
    return count;
}

}  // namespace tiltwick
