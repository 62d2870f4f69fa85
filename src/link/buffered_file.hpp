#pragma once
// A file read through a fixed 8192-byte buffer; it is never loaded whole.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "link/byte_stream.hpp"
#include "link/file_descriptor.hpp"

namespace tiltwick {

class BufferedFile final : public ByteSource {
public:
    static constexpr std::size_t capacity = 8192;

    explicit BufferedFile(UniqueFd fd) : fd_(std::move(fd)) {}

    // Served from the buffer when it holds bytes, inline: the packet reader asks for a few bytes
    // at a time.
    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override {
        if (begin_ == end_ && !into.empty()) {
            if (auto filled = refill(); !filled || *filled == 0) return filled;
        }
        const std::size_t count = std::min(into.size(), end_ - begin_);
        std::memcpy(into.data(), buffer_.data() + begin_, count);
        begin_ += count;
        return count;
    }

    // Asks the file where reading starts; this fails on a pipe or a FIFO ("Illegal seek"). Asked
    // once, before the first packet: nothing needs the position after that.
    std::expected<std::uint64_t, IoError> start_offset() const;

private:
    // One read(2) into the empty buffer; how many bytes it brought (0 at the end of the file).
    std::expected<std::size_t, IoError> refill();

    UniqueFd fd_;
    std::array<std::uint8_t, capacity> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace tiltwick
