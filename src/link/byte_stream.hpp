#pragma once
// The forward-only byte stream the packet reader takes its bytes from. Bytes once read are
// gone: there is no un-read and no look-ahead.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "link/io_error.hpp"

namespace tiltwick {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads between 1 and into.size() bytes; 0 only when the stream has ended (or into is empty).
    virtual std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) = 0;
};

// All of `into`, or an error; the end of the stream is "failed to fill whole buffer".
// Bytes taken before a failure stay consumed.
std::expected<void, IoError> read_exact(ByteSource& source, std::span<std::uint8_t> into);

// Fills `into` until it is full or the stream ends; returns how many bytes arrived.
std::expected<std::size_t, IoError> read_up_to(ByteSource& source, std::span<std::uint8_t> into);

// A sink the packet writer hands whole chunks to.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace tiltwick
