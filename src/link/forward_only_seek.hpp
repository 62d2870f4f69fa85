#pragma once
// The view the packet reader has of a byte source that cannot go back (a serial line, a file
// read strictly in order): reads pass straight through, and the only move is forward, by
// reading and discarding. Nothing is ever un-read. It remembers the last two bytes that passed
// through it, read or discarded, so that the reading step can tell how much of a sync pair a
// failed attempt ended with.

#include <cstdint>
#include <expected>

#include "link/byte_stream.hpp"

namespace tiltwick {

class ForwardOnlySeek final : public ByteSource {
public:
    static constexpr std::size_t skip_chunk = 1024;

    explicit ForwardOnlySeek(ByteSource& source) : source_(source) {}

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override {
        auto got = source_.read_some(into);
        if (got && *got > 0) remember(into.first(*got));
        return got;
    }

    // Reads and discards `count` bytes in chunks of at most 1024, each an exact read.
    std::expected<void, IoError> skip(std::uint64_t count);

    // The last bytes that passed through, at most two (fewer if fewer did), oldest first.
    std::span<const std::uint8_t> last_bytes() const { return std::span(last_).last(last_count_); }

private:
    void remember(std::span<const std::uint8_t> bytes);

    ByteSource& source_;
    std::uint8_t last_[2] = {};
    std::size_t last_count_ = 0;
};

}  // namespace tiltwick
