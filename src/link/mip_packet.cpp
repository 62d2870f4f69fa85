#include "link/mip_packet.hpp"

#include <array>
#include <string>

#include "decode/big_endian.hpp"
#include "decode/field_decoder.hpp"

namespace tiltwick {

namespace {

std::unexpected<ParseError> stream_failure(IoError error, std::optional<PacketField> field) {
    return std::unexpected(ParseError{StreamFailure{std::move(error)}, field});
}

template <class Source>
std::expected<MipPacket, ParseError> read_packet_from(Source& stream, std::uint8_t sync_kept) {
    std::array<std::uint8_t, 2> sync{sync1, sync2};
    if (auto got = read_exact(stream, std::span(sync).subspan(sync_kept)); !got) {
        return stream_failure(std::move(got.error()), std::nullopt);
    }
    if (sync[0] != sync1 || sync[1] != sync2) return std::unexpected(ParseError{BadSync{sync}, std::nullopt});

    MipChecksum checksum;
    std::uint8_t header[1];

    if (auto got = read_exact(stream, header); !got) {
        return stream_failure(std::move(got.error()), PacketField::Descriptor);
    }
    checksum.update(header);
    const auto descriptor = descriptor_from_byte(header[0]);
    if (!descriptor) return std::unexpected(ParseError{BadDescriptorSet{header[0]}, PacketField::Descriptor});

    if (auto got = read_exact(stream, header); !got) {
        return stream_failure(std::move(got.error()), PacketField::PayloadLength);
    }
    checksum.update(header);

    MipPacket packet{*descriptor, {}};
    const auto payload = packet.bytes.resize_for_writing(header[0]);
    auto filled = read_up_to(stream, payload);
    if (!filled) return stream_failure(std::move(filled.error()), PacketField::Bytes);
    if (*filled < payload.size()) {
        return std::unexpected(ParseError{
            ShortPayload{IoError::custom(IoErrorKind::UnexpectedEof, "not enough bytes in reader")},
            PacketField::Bytes});
    }
    checksum.update(packet.bytes);

    const auto computed = checksum.value();
    std::array<std::uint8_t, 2> trailer{};
    if (auto got = read_exact(stream, trailer); !got) {
        return stream_failure(std::move(got.error()), PacketField::Checksum);
    }
    const auto received = load_u16(trailer.data());
    if (received != computed) return std::unexpected(ParseError{BadChecksum{received, computed}, std::nullopt});
    return packet;
}

}  // namespace

std::expected<MipPacket, ParseError> MipPacket::read_from(ByteSource& stream, std::uint8_t sync_kept) {
    return read_packet_from(stream, sync_kept);
}

std::expected<MipPacket, ParseError> MipPacket::read_from(BufferedFile& stream, std::uint8_t sync_kept) {
    return read_packet_from(stream, sync_kept);
}

std::expected<void, IoError> MipPacket::write_to(ByteSink& sink, Descriptor descriptor_set,
                                                 std::span<const std::uint8_t> payload) {
    static constexpr std::uint8_t sync[2] = {sync1, sync2};
    if (auto done = sink.write_all(sync); !done) return done;

    MipChecksum checksum;
    const std::uint8_t descriptor[1] = {static_cast<std::uint8_t>(descriptor_set)};
    if (auto done = sink.write_all(descriptor); !done) return done;
    checksum.update(descriptor);

    if (payload.size() > max_payload) {
        return std::unexpected(IoError::custom(
            IoErrorKind::InvalidInput,
            "payload of " + std::to_string(payload.size()) + " bytes exceeds the 255-byte limit of a packet"));
    }
    const std::uint8_t length[1] = {static_cast<std::uint8_t>(payload.size())};
    if (auto done = sink.write_all(length); !done) return done;
    checksum.update(length);

    if (!payload.empty()) {
        if (auto done = sink.write_all(payload); !done) return done;
        checksum.update(payload);
    }
    const std::uint8_t trailer[2] = {checksum.a, checksum.b};
    return sink.write_all(trailer);
}

std::vector<Reading> MipPacket::to_sensor_readings_with_options() && {
    const MipPacket packet = std::move(*this);
    return decode_payload(static_cast<std::uint8_t>(packet.descriptor), packet.bytes);
}

void MipPacket::to_sensor_readings_into(std::vector<Reading>& readings) const {
    decode_payload_into(static_cast<std::uint8_t>(descriptor), bytes, readings);
}

}  // namespace tiltwick
