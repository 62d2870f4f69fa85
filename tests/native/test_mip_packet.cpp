// MipPacket::read_from asks for each field separately (2, 1, 1, n, 2 bytes) and consumes
// exactly the bytes each kind of failure reads; write_to hands the packet over in five writes.

#include <string>

#include "check.hpp"
#include "fakes.hpp"
#include "link/mip_packet.hpp"

using namespace tiltwick;
using native_test::RecordingSink;
using native_test::RecordingSource;
using Bytes = std::vector<std::uint8_t>;
using Requests = std::vector<std::size_t>;

namespace {

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes command_base = {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7};
const Bytes trailer = {0x75, 0x65, 0x80};  // must stay unread

// One read_from attempt on `data`, followed by `trailer` bytes that it must leave unread.
struct Attempt {
    explicit Attempt(const Bytes& data, bool with_trailer = true)
        : source(with_trailer ? concat(data, trailer) : data), result(MipPacket::read_from(source)) {}
    RecordingSource source;
    std::expected<MipPacket, ParseError> result;
};

bool has_context(const ParseError& error, PacketField field) { return error.context == field; }

}  // namespace

TEST(good_packet_requests_each_field_separately) {
    Attempt a(command_base);
    REQUIRE(a.result.has_value());
    CHECK(a.result->descriptor == Descriptor::CommandBase);
    CHECK((a.result->bytes == Bytes{0x02, 0x02}));
    CHECK((a.source.requests == Requests{2, 1, 1, 2, 2}));
    CHECK(a.source.position == 8);
}

TEST(empty_payload_reads_no_payload) {
    Attempt a({0x75, 0x65, 0x80, 0x00, 0x5A, 0x03});
    REQUIRE(a.result.has_value());
    CHECK(a.result->descriptor == Descriptor::DataSensor);
    CHECK(a.result->bytes.empty());
    CHECK((a.source.requests == Requests{2, 1, 1, 2}));
    CHECK(a.source.position == 6);
}

TEST(end_before_sync_is_a_failure_without_context) {
    for (const Bytes& data : {Bytes{}, Bytes{0x75}}) {
        Attempt a(data, false);
        REQUIRE(!a.result.has_value());
        CHECK(a.result.error().is_failure_before_sync());
        CHECK(a.source.position == data.size());
    }
}

TEST(bad_sync_consumes_two_bytes) {
    Bytes data = {0x00};
    data = concat(data, command_base);
    Attempt a(data);
    REQUIRE(!a.result.has_value());
    const auto* bad = std::get_if<BadSync>(&a.result.error().cause);
    REQUIRE(bad != nullptr);
    CHECK(bad->found[0] == 0x00 && bad->found[1] == 0x75);
    CHECK(!a.result.error().context.has_value());
    CHECK(a.source.position == 2);
    CHECK(a.result.error().render() == "bad sync: expected 0x75 0x65, found 0x00 0x75");
}

TEST(bad_descriptor_set_consumes_three_bytes) {
    Attempt a({0x75, 0x65, 0x83, 0x00, 0x00, 0x00});
    REQUIRE(!a.result.has_value());
    CHECK(std::holds_alternative<BadDescriptorSet>(a.result.error().cause));
    CHECK(has_context(a.result.error(), PacketField::Descriptor));
    CHECK(a.source.position == 3);
    CHECK(a.result.error().render().find("Unexpected value for enum: 131") != std::string::npos);
}

TEST(end_inside_a_header_field_names_that_field) {
    struct Case {
        Bytes data;
        PacketField field;
    };
    const Case cases[] = {
        {{0x75, 0x65}, PacketField::Descriptor},
        {{0x75, 0x65, 0x80}, PacketField::PayloadLength},
        {{0x75, 0x65, 0x80, 0x00}, PacketField::Checksum},
        {{0x75, 0x65, 0x80, 0x00, 0x5A}, PacketField::Checksum},
    };
    for (const auto& c : cases) {
        Attempt a(c.data, false);
        REQUIRE(!a.result.has_value());
        CHECK(std::holds_alternative<StreamFailure>(a.result.error().cause));
        CHECK(has_context(a.result.error(), c.field));
        CHECK(!a.result.error().is_failure_before_sync());
        CHECK(a.source.position == c.data.size());
    }
}

TEST(end_inside_the_payload_is_short_payload) {
    Attempt a({0x75, 0x65, 0x80, 0x05, 0x01, 0x02, 0x03}, false);
    REQUIRE(!a.result.has_value());
    const auto* shortp = std::get_if<ShortPayload>(&a.result.error().cause);
    REQUIRE(shortp != nullptr);
    CHECK(shortp->error.kind == IoErrorKind::UnexpectedEof);
    CHECK(shortp->error.message == "not enough bytes in reader");
    CHECK(has_context(a.result.error(), PacketField::Bytes));
    CHECK(a.source.position == 7);
}

TEST(time_out_inside_the_payload_is_an_io_error_of_bytes) {
    RecordingSource source({0x75, 0x65, 0x80, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00});
    source.fail_at = 6;
    const auto result = MipPacket::read_from(source);
    REQUIRE(!result.has_value());
    const auto* failure = std::get_if<StreamFailure>(&result.error().cause);
    REQUIRE(failure != nullptr);
    CHECK(failure->error.kind == IoErrorKind::TimedOut);
    CHECK(has_context(result.error(), PacketField::Bytes));
    CHECK(source.position == 6);
}

TEST(bad_checksum_consumes_the_whole_packet) {
    Bytes data = command_base;
    data[7] = 0xC8;
    Attempt a(data);
    REQUIRE(!a.result.has_value());
    CHECK(std::holds_alternative<BadChecksum>(a.result.error().cause));
    CHECK(a.source.position == 8);
    CHECK(a.result.error().render() == "bad checksum: e1c8 != e1c7");

    data[6] = 0x00;
    data[7] = 0xAB;
    Attempt b(data);
    REQUIRE(!b.result.has_value());
    CHECK(b.result.error().render() == "bad checksum: ab != e1c7");
}

TEST(write_makes_five_writes) {
    RecordingSink sink;
    REQUIRE(MipPacket::write_to(sink, MipPacket{Descriptor::CommandBase, {0x02, 0x02}}).has_value());
    CHECK((sink.writes == std::vector<Bytes>{{0x75, 0x65}, {0x01}, {0x02}, {0x02, 0x02}, {0xE1, 0xC7}}));
    CHECK(sink.all() == command_base);
}

TEST(write_of_an_empty_payload_makes_four_writes) {
    RecordingSink sink;
    REQUIRE(MipPacket::write_to(sink, MipPacket{Descriptor::DataSensor, {}}).has_value());
    CHECK((sink.writes == std::vector<Bytes>{{0x75, 0x65}, {0x80}, {0x00}, {0x5A, 0x03}}));
}

TEST(write_of_256_payload_bytes_fails_after_three_bytes) {
    RecordingSink sink;
    const auto written = MipPacket::write_to(sink, Descriptor::CommandBase, Bytes(256, 0x11));
    CHECK(!written.has_value());
    CHECK((sink.all() == Bytes{0x75, 0x65, 0x01}));
}

TEST(sink_failure_stops_the_write) {
    for (std::size_t fail_on = 0; fail_on < 5; ++fail_on) {
        RecordingSink sink;
        sink.fail_on = fail_on;
        const auto written = MipPacket::write_to(sink, MipPacket{Descriptor::CommandBase, {0x02, 0x02}});
        REQUIRE(!written.has_value());
        CHECK(written.error().os_code == 5);
        CHECK(sink.writes.size() == fail_on);
    }
}

TEST(written_packets_read_back) {
    for (std::size_t n : {0, 1, 100, 255}) {
        Bytes payload(n);
        for (std::size_t i = 0; i < n; ++i) payload[i] = static_cast<std::uint8_t>(i * 37 + 11);
        RecordingSink sink;
        REQUIRE(MipPacket::write_to(sink, MipPacket{Descriptor::DataEstimationFilter, Payload(payload)}).has_value());
        Attempt a(sink.all(), false);
        REQUIRE(a.result.has_value());
        CHECK(a.result->descriptor == Descriptor::DataEstimationFilter);
        CHECK(a.result->bytes == payload);
        CHECK(a.source.position == n + 6);
    }
}
