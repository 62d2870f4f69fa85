// The port's own reading step over an arbitrary byte stream: a Port replays the input as a
// capture held in memory, one Port::read_packet call after another (the call the clients make),
// until the stream is used up. Each input is read twice: once ending like a recorded file (end of
// stream), once like a serial line that falls silent (every read past the last byte times out).
//
// Beside each call, one MipPacket::read_from attempt over a copy of the rest of the input, from
// the sync bytes the port says it kept, tells what the call should have done. Properties checked
// for every call, against the bytes from its candidate start (the kept sync bytes included):
// - the attempt consumes exactly what its outcome implies: 2 bytes for bad sync bytes, 3 for a
//   descriptor set byte outside the sixteen, n + 6 for a packet (good or with a bad checksum),
//   everything left when the stream ends inside the packet;
// - it never asks the source for bytes past the field it is reading (no read-ahead);
// - the checksum it reports as computed is the packet's real checksum;
// - a good packet carries the descriptor set and payload found on the wire, and writing it back
//   with MipPacket::write_to gives exactly the bytes the attempt consumed; the port returns its
//   readings;
// - after a failed attempt the port skips exactly one byte more and returns no readings, or fails
//   only when the stream has no byte left; when the stream ended before the sync bytes, it skips
//   nothing and fails;
// so every call moves the stream forward and the loop ends. And over the whole input: no sync
// pair is passed over. Every 75 65 is either where an attempt began or inside the bytes that an
// earlier attempt consumed (a false sync pair inside a packet's or a bogus packet's bytes).

#include <algorithm>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "decode/text_form.hpp"
#include "fuzz_support.hpp"
#include "link/forward_only_seek.hpp"
#include "link/mip_packet.hpp"
#include "link/port.hpp"

using namespace tiltwick;

namespace {

// Where a field of the packet begins and ends, counted from its first sync byte.
std::size_t field_begin(PacketField field, std::size_t payload_length) {
    switch (field) {
        case PacketField::Descriptor: return 2;
        case PacketField::PayloadLength: return 3;
        case PacketField::Bytes: return 4;
        case PacketField::Checksum: return 4 + payload_length;
    }
    std::abort();
}
std::size_t field_end(PacketField field, std::size_t payload_length) {
    switch (field) {
        case PacketField::Descriptor: return 3;
        case PacketField::PayloadLength: return 4;
        case PacketField::Bytes: return 4 + payload_length;
        case PacketField::Checksum: return 6 + payload_length;
    }
    std::abort();
}

void check_good_packet(MipPacket packet, std::span<const std::uint8_t> at, std::size_t consumed,
                       const std::string& returned) {
    FUZZ_CHECK(at.size() >= 6);
    const std::size_t n = at[3];
    FUZZ_CHECK(consumed == n + 6);
    FUZZ_CHECK(at[0] == sync1 && at[1] == sync2);
    FUZZ_CHECK(static_cast<std::uint8_t>(packet.descriptor) == at[2]);
    FUZZ_CHECK(packet.bytes.size() == n);
    FUZZ_CHECK(std::equal(packet.bytes.begin(), packet.bytes.end(), at.begin() + 4));
    FUZZ_CHECK(fuzz::fletcher(at.first(4 + n)) == (at[4 + n] << 8 | at[5 + n]));

    fuzz::MemorySink sink;
    FUZZ_CHECK(MipPacket::write_to(sink, packet).has_value());
    FUZZ_CHECK(sink.bytes.size() == consumed);
    FUZZ_CHECK(std::equal(sink.bytes.begin(), sink.bytes.end(), at.begin()));
    FUZZ_CHECK(sink.writes == (n == 0 ? 4u : 5u));

    const auto descriptor = packet.descriptor;
    const auto readings = std::move(packet).to_sensor_readings_with_options();
    if (descriptor != Descriptor::DataSensor && descriptor != Descriptor::DataEstimationFilter) {
        FUZZ_CHECK(readings.empty());
    }
    // Every reading comes from a field of at least 2 bytes: at most n / 2 of them.
    FUZZ_CHECK(readings.size() <= n / 2);
    const std::string text = readings_text(readings);
    FUZZ_CHECK(text.size() >= 2 && text.front() == '[' && text.back() == ']');
    FUZZ_CHECK(text == returned);  // the port hands on what the packet decodes to
}

void check_failed_attempt(const ParseError& error, std::span<const std::uint8_t> at, std::size_t consumed,
                          fuzz::AtEnd at_end) {
    const bool timed_out = at_end == fuzz::AtEnd::TimeOut;
    const std::size_t available = at.size();
    std::visit(
        [&](const auto& cause) {
            using Cause = std::decay_t<decltype(cause)>;
            if constexpr (std::is_same_v<Cause, BadSync>) {
                FUZZ_CHECK(consumed == 2);
                FUZZ_CHECK(!(at[0] == sync1 && at[1] == sync2));
                FUZZ_CHECK(cause.found[0] == at[0] && cause.found[1] == at[1]);
                FUZZ_CHECK(!error.context.has_value());
            } else if constexpr (std::is_same_v<Cause, BadDescriptorSet>) {
                FUZZ_CHECK(consumed == 3);
                FUZZ_CHECK(at[0] == sync1 && at[1] == sync2);
                FUZZ_CHECK(cause.found == at[2] && !fuzz::is_descriptor_set(at[2]));
                FUZZ_CHECK(error.context == PacketField::Descriptor);
            } else if constexpr (std::is_same_v<Cause, BadChecksum>) {
                FUZZ_CHECK(available >= 6);
                const std::size_t n = at[3];
                FUZZ_CHECK(consumed == n + 6);
                FUZZ_CHECK(fuzz::is_descriptor_set(at[2]));
                FUZZ_CHECK(cause.computed == fuzz::fletcher(at.first(4 + n)));
                FUZZ_CHECK(cause.received == (at[4 + n] << 8 | at[5 + n]));
                FUZZ_CHECK(cause.received != cause.computed);
            } else {
                // The stream ended or fell silent: the attempt took everything that was left.
                static_assert(std::is_same_v<Cause, StreamFailure> || std::is_same_v<Cause, ShortPayload>);
                FUZZ_CHECK(consumed == available);
                FUZZ_CHECK(cause.error.kind == (timed_out ? IoErrorKind::TimedOut : IoErrorKind::UnexpectedEof));
                if (!error.context) {
                    FUZZ_CHECK((std::is_same_v<Cause, StreamFailure>));
                    FUZZ_CHECK(available < 2);
                    return;
                }
                FUZZ_CHECK(at[0] == sync1 && at[1] == sync2);
                const std::size_t n = available > 3 ? at[3] : 0;
                // The stream ended inside the field named as the context, not before it.
                FUZZ_CHECK(field_begin(*error.context, n) <= available);
                FUZZ_CHECK(available < field_end(*error.context, n));
                // Only the end of the stream inside the payload is a short payload; a time-out
                // there is a stream failure in the context of the payload.
                FUZZ_CHECK((std::is_same_v<Cause, ShortPayload>) == (*error.context == PacketField::Bytes && !timed_out));
            }
        },
        error.cause);
    FUZZ_CHECK(!error.render().empty());
}

void read_all(std::span<const std::uint8_t> input, fuzz::AtEnd at_end) {
    auto owned = std::make_unique<fuzz::MemorySource>(input, 7, at_end);
    fuzz::MemorySource& source = *owned;
    Port port = Port::replaying(std::move(owned));
    std::vector<bool> began(input.size() + 1), inside(input.size() + 1);
    for (;;) {
        const std::size_t kept = port.kept_sync();
        const std::size_t start = source.position() - kept;  // where the candidate packet begins
        const auto at = input.subspan(start);
        FUZZ_CHECK(kept == 0 || (at[0] == sync1 && (kept == 1 || at[1] == sync2)));
        began[start] = true;

        // What one attempt from here gives, read over a copy of the rest of the input.
        fuzz::MemorySource copy(input.subspan(source.position()), 7, at_end);
        ForwardOnlySeek copy_stream(copy);
        auto attempt = MipPacket::read_from(copy_stream, static_cast<std::uint8_t>(kept));
        const std::size_t attempted = kept + copy.position();  // what the attempt consumed
        for (std::size_t p = start + 1; p < start + attempted; ++p) inside[p] = true;

        source.reset_furthest_request();
        auto result = fuzz::quietly(source.remaining() < 2, [&] { return port.read_packet(); });
        const std::size_t consumed = source.position() - start;
        const std::size_t reached = source.furthest_request() - start;

        if (attempt) {
            FUZZ_CHECK(result.has_value() && consumed == attempted);
            FUZZ_CHECK(reached <= consumed);  // asked for nothing beyond the packet
            const std::string returned = readings_text(*result);
            check_good_packet(std::move(*attempt), at, consumed, returned);
            continue;
        }
        const ParseError& error = attempt.error();
        check_failed_attempt(error, at, attempted, at_end);
        // No request went past the field being read when the attempt stopped, but for the byte
        // skipped after it.
        std::size_t limit = 2;
        if (std::holds_alternative<BadDescriptorSet>(error.cause)) limit = 3;
        if (std::holds_alternative<BadChecksum>(error.cause)) limit = attempted;
        if (error.context && !std::holds_alternative<BadDescriptorSet>(error.cause)) {
            limit = field_end(*error.context, at.size() > 3 ? at[3] : 0);
        }
        if (error.is_failure_before_sync()) {
            FUZZ_CHECK(!result.has_value() && consumed == attempted && reached <= limit);
            FUZZ_CHECK(source.remaining() == 0);
            break;
        }
        const bool had_byte = input.size() > start + attempted;
        FUZZ_CHECK(reached <= std::max(limit, attempted + 1));  // the skip asks for one byte only
        FUZZ_CHECK(result.has_value() == had_byte);
        FUZZ_CHECK(consumed == attempted + (had_byte ? 1u : 0u));
        if (!result) break;
        FUZZ_CHECK(result->empty());
        FUZZ_CHECK(source.position() > start);
    }
    FUZZ_CHECK(source.remaining() == 0);
    for (std::size_t p = 0; p + 1 < input.size(); ++p) {
        if (input[p] == sync1 && input[p + 1] == sync2) FUZZ_CHECK(began[p] || inside[p]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::park_stdout();  // the port prints a line per packet it replays
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    read_all(input, fuzz::AtEnd::EndOfStream);
    read_all(input, fuzz::AtEnd::TimeOut);
    return 0;
}
