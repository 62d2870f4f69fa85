#pragma once
// What the fuzz targets share: an in-memory byte source and sink, an independent Fletcher
// checksum, and FUZZ_CHECK, which aborts (libFuzzer then keeps the input as a crash) with a
// line naming the property that failed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <span>
#include <unistd.h>
#include <vector>

#include "link/byte_stream.hpp"
#include "link/descriptor.hpp"

#define FUZZ_CHECK(condition)                                                                         \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                             \
        }                                                                                             \
    } while (false)

namespace fuzz {

// How a MemorySource behaves once its bytes are used up.
enum class AtEnd {
    EndOfStream,  // like a recorded file: reads return 0
    TimeOut,      // like a silent serial line: reads fail with a time-out
};

// The input as a forward-only stream. Bytes arrive in pieces of 1 to max_chunk bytes, in a
// fixed cycle, the way a serial line hands over what it has. Records how far ahead of the
// current position any request reached.
class MemorySource final : public tiltwick::ByteSource {
public:
    MemorySource(std::span<const std::uint8_t> bytes, std::size_t max_chunk, AtEnd at_end)
        : bytes_(bytes), max_chunk_(max_chunk), at_end_(at_end) {}

    std::expected<std::size_t, tiltwick::IoError> read_some(std::span<std::uint8_t> into) override {
        furthest_request_ = std::max(furthest_request_, position_ + into.size());
        if (at_end_ == AtEnd::TimeOut && position_ == bytes_.size() && !into.empty()) {
            return std::unexpected(tiltwick::IoError::timed_out());
        }
        const std::size_t piece = 1 + calls_++ % max_chunk_;
        const std::size_t count = std::min({into.size(), bytes_.size() - position_, piece});
        if (count > 0) std::memcpy(into.data(), bytes_.data() + position_, count);
        position_ += count;
        return count;
    }

    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }
    // The furthest stream offset any read_some since the last reset asked to fill.
    std::size_t furthest_request() const { return furthest_request_; }
    void reset_furthest_request() { furthest_request_ = position_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t max_chunk_;
    AtEnd at_end_;
    std::size_t position_ = 0;
    std::size_t calls_ = 0;
    std::size_t furthest_request_ = 0;
};

// Standard output goes to /dev/null from here on (libFuzzer writes to standard error only).
inline void park_stdout() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 1);
        ::close(null);
    }
}

// call() with standard error on /dev/null meanwhile when `silence` holds: the port's line at the
// end of each input would otherwise flood the fuzzer's log.
template <typename Call>
auto quietly(bool silence, Call call) {
    if (!silence) return call();
    const int saved = ::dup(2);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    auto result = call();
    ::dup2(saved, 2);
    ::close(saved);
    ::close(null);
    return result;
}

// Collects what a writer hands over, chunk by chunk.
class MemorySink final : public tiltwick::ByteSink {
public:
    std::expected<void, tiltwick::IoError> write_all(std::span<const std::uint8_t> chunk) override {
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
        ++writes;
        return {};
    }
    std::vector<std::uint8_t> bytes;
    std::size_t writes = 0;
};

// The packet checksum computed from scratch over everything from the first sync byte to the last
// payload byte: A = sum of bytes, B = sum of the running A, both mod 256; sent A then B.
inline std::uint16_t fletcher(std::span<const std::uint8_t> bytes) {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    for (auto byte : bytes) {
        a = static_cast<std::uint8_t>(a + byte);
        b = static_cast<std::uint8_t>(b + a);
    }
    return static_cast<std::uint16_t>(a << 8 | b);
}

// Whether a packet may carry this descriptor set byte (one of the sixteen of the set table).
inline bool is_descriptor_set(std::uint8_t byte) { return tiltwick::descriptor_from_byte(byte).has_value(); }

}  // namespace fuzz
