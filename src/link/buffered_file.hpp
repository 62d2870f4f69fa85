#pragma once
// A file read through a fixed 8192-byte buffer; it is never loaded whole.

#include <array>
#include <cstdint>

#include "link/byte_stream.hpp"
#include "link/unique_fd.hpp"

namespace tiltwick {

class BufferedFile final : public ByteSource {
public:
    static constexpr std::size_t capacity = 8192;

    explicit BufferedFile(UniqueFd fd) : fd_(std::move(fd)) {}

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override;

    // Offset of the next unread byte from the start of the file: the bytes read from the
    // file minus those still waiting in the buffer.
    std::uint64_t offset() const { return file_position_ - (end_ - begin_); }

private:
    UniqueFd fd_;
    std::array<std::uint8_t, capacity> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t file_position_ = 0;
};

}  // namespace tiltwick
