#include "link/descriptor.hpp"

#include <array>
#include <string>

namespace tiltwick {

std::string_view parsed_packet_line(Descriptor descriptor) {
    static const std::array<std::string, 256> lines = [] {
        std::array<std::string, 256> made;
        for (const auto& set : descriptor_sets) {
            made[static_cast<std::uint8_t>(set.descriptor)] = "Parsed packet: " + std::string(set.name) + "\n";
        }
        return made;
    }();
    return lines[static_cast<std::uint8_t>(descriptor)];
}

}  // namespace tiltwick
