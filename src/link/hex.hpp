#pragma once

#include <charconv>
#include <cstdint>
#include <string>

namespace tiltwick {

// Lower-case hexadecimal without prefix or leading zeros.
inline std::string lower_hex(std::uint64_t value) {
    char text[17];
    auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
    return std::string(text, end);
}

}  // namespace tiltwick
