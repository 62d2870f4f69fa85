#include "link/descriptor.hpp"

#include <array>
#include <string>

namespace tiltwick {

std::string_view parsed_packet_line(Descriptor descriptor) {
    static const std::array<std::string, 256> lines = [] {
        std::array<std::string, 256> made;
        for (unsigned byte = 0; byte < made.size(); ++byte) {
            if (auto known = descriptor_from_byte(static_cast<std::uint8_t>(byte))) {
                made[byte] = "Parsed packet: " + std::string(descriptor_name(*known)) + "\n";
            }
        }
        return made;
    }();
    return lines[static_cast<std::uint8_t>(descriptor)];
}

}  // namespace tiltwick
