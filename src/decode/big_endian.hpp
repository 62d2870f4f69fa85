#pragma once
// Big-endian wire values, assembled byte by byte (no alignment or host byte order assumed).

#include <bit>
#include <cstdint>

namespace tiltwick {

constexpr std::uint16_t load_u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

constexpr std::uint32_t load_u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}

constexpr std::uint64_t load_u64(const std::uint8_t* p) {
    return std::uint64_t{load_u32(p)} << 32 | load_u32(p + 4);
}

}  // namespace tiltwick
