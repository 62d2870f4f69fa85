#pragma once
// Presents a byte source that cannot go back (a serial line, a file read strictly in order)
// as a seekable stream: every position query answers 0, forward moves read and discard.

#include <cstdint>
#include <expected>

#include "link/byte_stream.hpp"

namespace tiltwick {

enum class SeekOrigin { Start, Current, End };

class ForwardOnlySeek final : public ByteSource {
public:
    static constexpr std::size_t skip_chunk = 1024;

    explicit ForwardOnlySeek(ByteSource& source) : source_(source) {}

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override {
        return source_.read_some(into);
    }

    // Start(p) moves forward by p and answers 0; Current(d) moves forward by d and answers d;
    // negative moves and moves relative to the end are refused.
    std::expected<std::uint64_t, IoError> seek(SeekOrigin origin, std::int64_t offset);

    // Reads and discards `count` bytes in chunks of at most 1024, each an exact read.
    std::expected<void, IoError> skip(std::uint64_t count);

private:
    ByteSource& source_;
};

}  // namespace tiltwick
