#pragma once
// A file read through a fixed 8192-byte buffer; it is never loaded whole.

#include <array>
#include <cstdint>

#include "link/byte_stream.hpp"
#include "link/file_descriptor.hpp"

namespace tiltwick {

class BufferedFile final : public ByteSource {
public:
    static constexpr std::size_t capacity = 8192;

    explicit BufferedFile(UniqueFd fd) : fd_(std::move(fd)) {}

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override;

    // Asks the file where reading starts; this fails on a pipe or a FIFO ("Illegal seek"). Asked
    // once, before the first packet: nothing needs the position after that.
    std::expected<std::uint64_t, IoError> start_offset() const;

private:
    UniqueFd fd_;
    std::array<std::uint8_t, capacity> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace tiltwick
