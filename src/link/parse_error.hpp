#pragma once
// Why one attempt to read a packet failed.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "link/io_error.hpp"

namespace tiltwick {

// The packet field being read when an error arose.
enum class PacketField { Descriptor, PayloadLength, Bytes, Checksum };

std::string_view field_context(PacketField field);  // "While parsing field 'descriptor' in MipPacket"

struct BadSync {
    std::array<std::uint8_t, 2> found;
};
struct BadDescriptorSet {
    std::uint8_t found;  // rendered as "Unexpected value for enum: <decimal>"
};
struct StreamFailure {
    IoError error;
};
struct ShortPayload {
    IoError error;  // end-of-stream, "not enough bytes in reader"
};
struct BadChecksum {
    std::uint16_t received;
    std::uint16_t computed;
};

struct ParseError {
    std::variant<BadSync, BadDescriptorSet, StreamFailure, ShortPayload, BadChecksum> cause;
    std::optional<PacketField> context;

    // The stream failed or ended before the two sync bytes were complete: the only error
    // raised outside any field, and the one that means "nothing more to read here".
    bool is_failure_before_sync() const {
        return std::holds_alternative<StreamFailure>(cause) && !context.has_value();
    }

    // One line naming the case, the values it carries and the field context.
    std::string render() const;
};

}  // namespace tiltwick
