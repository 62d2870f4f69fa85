#pragma once
// A packet's payload: at most 255 bytes, held in place, so that reading a packet allocates
// nothing.

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace tiltwick {

inline constexpr std::size_t max_payload = 255;

class Payload {
public:
    Payload() = default;
    // At most max_payload bytes; the rest of a longer list is left out (no caller makes one).
    Payload(std::initializer_list<std::uint8_t> bytes) { assign(std::span(bytes.begin(), bytes.size())); }
    explicit Payload(std::span<const std::uint8_t> bytes) { assign(bytes); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint8_t* data() const { return bytes_.data(); }
    const std::uint8_t* begin() const { return bytes_.data(); }
    const std::uint8_t* end() const { return bytes_.data() + size_; }
    operator std::span<const std::uint8_t>() const { return {bytes_.data(), size_}; }

    // The first `size` bytes, to be filled by the caller; what they held before is left as it is.
    std::span<std::uint8_t> resize_for_writing(std::uint8_t size) {
        size_ = size;
        return {bytes_.data(), size_};
    }

    friend bool operator==(const Payload& payload, std::span<const std::uint8_t> bytes) {
        return std::ranges::equal(std::span<const std::uint8_t>(payload), bytes);
    }

private:
    void assign(std::span<const std::uint8_t> bytes) {
        size_ = static_cast<std::uint8_t>(std::min(bytes.size(), max_payload));
        std::copy_n(bytes.begin(), size_, bytes_.begin());
    }

    std::array<std::uint8_t, max_payload> bytes_;
    std::uint8_t size_ = 0;
};

}  // namespace tiltwick
