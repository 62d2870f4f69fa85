#pragma once
// Recording byte sources and sinks for the native tests.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "link/byte_stream.hpp"

namespace native_test {

// Serves `data`, at most what each request asks for; records the size of every request and
// fails with `failure` once `fail_at` bytes have been served.
class RecordingSource final : public tiltwick::ByteSource {
public:
    explicit RecordingSource(std::vector<std::uint8_t> data) : data(std::move(data)) {}

    std::expected<std::size_t, tiltwick::IoError> read_some(std::span<std::uint8_t> into) override {
        requests.push_back(into.size());
        if (fail_at && position >= *fail_at) return std::unexpected(failure);
        std::size_t count = std::min(into.size(), data.size() - position);
        if (fail_at) count = std::min(count, *fail_at - position);
        if (count > 0) std::memcpy(into.data(), data.data() + position, count);
        position += count;
        return count;
    }

    std::vector<std::uint8_t> data;
    std::size_t position = 0;  // bytes consumed so far
    std::vector<std::size_t> requests;
    std::optional<std::size_t> fail_at;
    tiltwick::IoError failure = tiltwick::IoError::timed_out();
};

// Records every chunk written; the write numbered `fail_on` (from 0) fails and writes nothing.
class RecordingSink final : public tiltwick::ByteSink {
public:
    std::expected<void, tiltwick::IoError> write_all(std::span<const std::uint8_t> bytes) override {
        if (fail_on && writes.size() == *fail_on) return std::unexpected(tiltwick::IoError::from_errno(5));
        writes.emplace_back(bytes.begin(), bytes.end());
        return {};
    }

    std::vector<std::uint8_t> all() const {
        std::vector<std::uint8_t> out;
        for (const auto& chunk : writes) out.insert(out.end(), chunk.begin(), chunk.end());
        return out;
    }

    std::vector<std::vector<std::uint8_t>> writes;
    std::optional<std::size_t> fail_on;
};

}  // namespace native_test
