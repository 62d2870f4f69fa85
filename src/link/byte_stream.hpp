#pragma once
// The forward-only byte stream the packet reader takes its bytes from. Bytes once read are
// gone: there is no un-read and no look-ahead.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "link/io_error.hpp"

namespace tiltwick {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads between 1 and into.size() bytes; 0 only when the stream has ended (or into is empty).
    virtual std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) = 0;
};

// Fills `into` until it is full or the stream ends; returns how many bytes arrived. `Source` is
// ByteSource, or a source class of its own where the caller knows it (no virtual call then).
template <class Source>
std::expected<std::size_t, IoError> read_up_to(Source& source, std::span<std::uint8_t> into) {
    std::size_t filled = 0;
    while (filled < into.size()) {
        auto got = source.read_some(into.subspan(filled));
        if (!got) return std::unexpected(std::move(got.error()));
        if (*got == 0) break;
        filled += *got;
    }
    return filled;
}

// All of `into`, or an error; the end of the stream is "failed to fill whole buffer".
// Bytes taken before a failure stay consumed.
template <class Source>
std::expected<void, IoError> read_exact(Source& source, std::span<std::uint8_t> into) {
    auto filled = read_up_to(source, into);
    if (!filled) return std::unexpected(std::move(filled.error()));
    if (*filled < into.size()) return std::unexpected(IoError::end_of_stream());
    return {};
}

// A sink the packet writer hands whole chunks to.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace tiltwick
