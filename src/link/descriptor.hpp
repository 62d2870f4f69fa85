#pragma once
// The MIP descriptor set codes a packet may carry.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tiltwick {

enum class Descriptor : std::uint8_t {
    CommandBase = 0x01,
    Command3DM = 0x0C,
    CommandNav = 0x0D,
    CommandGNSS = 0x0E,
    CommandRTK = 0x0F,
    CommandSys = 0x7F,
    DataSensor = 0x80,
    DataGNSS = 0x81,
    DataEstimationFilter = 0x82,
    DataDisplacement = 0x90,
    DataGNSS1 = 0x91,
    DataGNSS2 = 0x92,
    DataGNSS3 = 0x93,
    DataGNSS4 = 0x94,
    DataGNSS5 = 0x95,
    DataSystem = 0xA0,
};

constexpr std::optional<Descriptor> descriptor_from_byte(std::uint8_t byte) {
    switch (byte) {
        case 0x01: case 0x0C: case 0x0D: case 0x0E: case 0x0F: case 0x7F:
        case 0x80: case 0x81: case 0x82:
        case 0x90: case 0x91: case 0x92: case 0x93: case 0x94: case 0x95:
        case 0xA0:
            return static_cast<Descriptor>(byte);
        default:
            return std::nullopt;
    }
}

constexpr std::string_view descriptor_name(Descriptor descriptor) {
    switch (descriptor) {
        case Descriptor::CommandBase: return "CommandBase";
        case Descriptor::Command3DM: return "Command3DM";
        case Descriptor::CommandNav: return "CommandNav";
        case Descriptor::CommandGNSS: return "CommandGNSS";
        case Descriptor::CommandRTK: return "CommandRTK";
        case Descriptor::CommandSys: return "CommandSys";
        case Descriptor::DataSensor: return "DataSensor";
        case Descriptor::DataGNSS: return "DataGNSS";
        case Descriptor::DataEstimationFilter: return "DataEstimationFilter";
        case Descriptor::DataDisplacement: return "DataDisplacement";
        case Descriptor::DataGNSS1: return "DataGNSS1";
        case Descriptor::DataGNSS2: return "DataGNSS2";
        case Descriptor::DataGNSS3: return "DataGNSS3";
        case Descriptor::DataGNSS4: return "DataGNSS4";
        case Descriptor::DataGNSS5: return "DataGNSS5";
        case Descriptor::DataSystem: return "DataSystem";
    }
    return "";
}

// "Parsed packet: " and the descriptor's name and a newline, the line a file replay prints for
// each packet it reads; made once.
std::string_view parsed_packet_line(Descriptor descriptor);

}  // namespace tiltwick
