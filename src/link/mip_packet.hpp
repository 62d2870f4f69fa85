#pragma once
// One framed MIP packet: 75 65, descriptor set, payload length, payload, Fletcher checksum.

#include <cstdint>
#include <expected>
#include <vector>

#include "decode/catalogue.hpp"
#include "link/buffered_file.hpp"
#include "link/byte_stream.hpp"
#include "link/descriptor.hpp"
#include "link/parse_error.hpp"
#include "link/payload.hpp"

namespace tiltwick {

inline constexpr std::uint8_t sync1 = 0x75;
inline constexpr std::uint8_t sync2 = 0x65;

// The 16-bit Fletcher checksum with 8-bit sums, as a running state.
struct MipChecksum {
    // The sums after the sync bytes 75 65, where reading and writing start.
    std::uint8_t a = 0xDA;
    std::uint8_t b = 0x4F;

    void update(std::span<const std::uint8_t> bytes) {
        for (auto byte : bytes) {
            a = static_cast<std::uint8_t>(a + byte);
            b = static_cast<std::uint8_t>(b + a);
        }
    }
    std::uint16_t value() const { return static_cast<std::uint16_t>(a << 8 | b); }
};

struct MipPacket {
    Descriptor descriptor;
    Payload bytes;  // the payload, at most 255 bytes

    // Reads exactly one packet, field by field (2, 1, 1, n and 2 bytes), never ahead of it.
    // `sync_kept` sync bytes (0x75, or 0x75 0x65) were already read by an earlier attempt: only
    // the rest of the pair is read, and a bad-sync error shows the whole pair. From a
    // BufferedFile, the reads need no virtual call.
    static std::expected<MipPacket, ParseError> read_from(ByteSource& stream, std::uint8_t sync_kept = 0);
    static std::expected<MipPacket, ParseError> read_from(BufferedFile& stream, std::uint8_t sync_kept = 0);

    // Writes the packet in five chunks (four with an empty payload), computing length and checksum.
    static std::expected<void, IoError> write_to(ByteSink& sink, const MipPacket& packet) {
        return write_to(sink, packet.descriptor, packet.bytes);
    }
    // The same for any payload: one of more than 255 bytes fails after the descriptor set byte.
    static std::expected<void, IoError> write_to(ByteSink& sink, Descriptor descriptor,
                                                 std::span<const std::uint8_t> payload);

    // Decodes the data fields of a sensor or estimation-filter packet; other sets yield nothing.
    // Never fails: fields that do not decode are left out.
    std::vector<Reading> to_sensor_readings_with_options() &&;
    // The same into `readings`, which is emptied first and keeps its storage from call to call.
    void to_sensor_readings_into(std::vector<Reading>& readings) const;
};


}  // namespace tiltwick
