#pragma once
// The MIP descriptor set codes a packet may carry: declared once, in the table below, from which
// the enumeration, the validity check and the names all come.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tiltwick {

// X(name, wire byte) for each of the sixteen sets a packet may carry.
#define TILTWICK_DESCRIPTOR_SETS(X)                                                               \
    X(CommandBase, 0x01) X(Command3DM, 0x0C) X(CommandNav, 0x0D) X(CommandGNSS, 0x0E)             \
    X(CommandRTK, 0x0F) X(CommandSys, 0x7F) X(DataSensor, 0x80) X(DataGNSS, 0x81)                 \
    X(DataEstimationFilter, 0x82) X(DataDisplacement, 0x90) X(DataGNSS1, 0x91) X(DataGNSS2, 0x92) \
    X(DataGNSS3, 0x93) X(DataGNSS4, 0x94) X(DataGNSS5, 0x95) X(DataSystem, 0xA0)

enum class Descriptor : std::uint8_t {
#define TILTWICK_ENUMERATOR(name, code) name = code,
    TILTWICK_DESCRIPTOR_SETS(TILTWICK_ENUMERATOR)
#undef TILTWICK_ENUMERATOR
};

struct DescriptorSet {
    Descriptor descriptor;
    std::string_view name;
};

inline constexpr std::array descriptor_sets = {
#define TILTWICK_ENTRY(name, code) DescriptorSet{Descriptor::name, #name},
    TILTWICK_DESCRIPTOR_SETS(TILTWICK_ENTRY)
#undef TILTWICK_ENTRY
};

// Every byte's set, or nothing: a look-up on each packet's descriptor byte.
inline constexpr auto descriptor_by_byte = [] {
    std::array<std::optional<Descriptor>, 256> sets{};
    for (const auto& set : descriptor_sets) sets[static_cast<std::uint8_t>(set.descriptor)] = set.descriptor;
    return sets;
}();

constexpr std::optional<Descriptor> descriptor_from_byte(std::uint8_t byte) { return descriptor_by_byte[byte]; }

constexpr std::string_view descriptor_name(Descriptor descriptor) {
    for (const auto& set : descriptor_sets) {
        if (set.descriptor == descriptor) return set.name;
    }
    return "";
}

// "Parsed packet: " and the descriptor's name and a newline, the line a file replay prints for
// each packet it reads; made once.
std::string_view parsed_packet_line(Descriptor descriptor);

}  // namespace tiltwick
