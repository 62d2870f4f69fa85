#include "link/byte_stream.hpp"

namespace tiltwick {

std::expected<std::size_t, IoError> read_up_to(ByteSource& source, std::span<std::uint8_t> into) {
    std::size_t filled = 0;
    while (filled < into.size()) {
        auto got = source.read_some(into.subspan(filled));
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) break;
        filled += *got;
    }
    return filled;
}

std::expected<void, IoError> read_exact(ByteSource& source, std::span<std::uint8_t> into) {
    auto filled = read_up_to(source, into);
    if (!filled) return std::unexpected(std::move(filled.error()));
    if (*filled < into.size()) return std::unexpected(IoError::end_of_stream());
    return {};
}

}  // namespace tiltwick
