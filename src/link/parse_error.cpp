#include "link/parse_error.hpp"

#include <cstdio>

#include "link/hex.hpp"

namespace tiltwick {

std::string_view field_context(PacketField field) {
    switch (field) {
        case PacketField::Descriptor: return "While parsing field 'descriptor' in MipPacket";
        case PacketField::PayloadLength: return "While parsing field 'payload_length' in MipPacket";
        case PacketField::Bytes: return "While parsing field 'bytes' in MipPacket";
        case PacketField::Checksum: return "While parsing field 'checksum' in MipPacket";
    }
    return "";
}

namespace {

std::string byte_hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

struct CaseText {
    std::string operator()(const BadSync& e) const {
        return "bad sync: expected 0x75 0x65, found " + byte_hex(e.found[0]) + " " + byte_hex(e.found[1]);
    }
    std::string operator()(const BadDescriptorSet& e) const {
        return "bad descriptor set: Unexpected value for enum: " + std::to_string(e.found);
    }
    std::string operator()(const StreamFailure& e) const { return "I/O error: " + e.error.diagnostic_text(); }
    std::string operator()(const ShortPayload& e) const { return "short payload: " + e.error.diagnostic_text(); }
    std::string operator()(const BadChecksum& e) const {
        return "bad checksum: " + lower_hex(e.received) + " != " + lower_hex(e.computed);
    }
};

}  // namespace

std::string ParseError::render() const {
    std::string text = std::visit(CaseText{}, cause);
    if (context) {
        text += " (";
        text += field_context(*context);
        text += ')';
    }
    return text;
}

}  // namespace tiltwick
