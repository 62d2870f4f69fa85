// The payload decoder against an independent statement of the field layouts.
//
// Input: the first byte picks the descriptor set (below 0x40: one of the sixteen sets, four
// bytes each; from 0x40 on: the byte itself, also values no packet can carry), the rest is the
// payload, held in a buffer of exactly its size so that a read past its end is caught.
//
// Properties: decode_payload walks the fields (length byte, 0 counting as 1; a field cut at the
// payload's end) and yields, in order, one reading per field whose descriptor belongs to the
// set, whose data holds the whole layout and whose validity words are 0 or 1, and nothing else;
// each reading carries the field's leading data bytes bit for bit (NaN payloads included); only
// the sensor (0x80) and estimation-filter (0x82) sets yield anything. The text form is rendered
// for every result.

#include <bit>
#include <string>
#include <string_view>
#include <vector>

#include "decode/field_decoder.hpp"
#include "decode/text_form.hpp"
#include "fuzz_support.hpp"

using namespace tiltwick;

namespace {

// Layout letters: f = 4-byte float, d = 8-byte double, H = 2-byte unsigned, V = 2-byte validity
// word that must be 0 or 1. Written from the wire format, not from the decoder's catalogue.
struct Layout {
    std::uint8_t set;
    std::uint8_t descriptor;
    std::string_view name;
    std::string_view values;
};

constexpr Layout layouts[] = {
    {0x80, 0x04, "ScaledAccVector", "fff"},
    {0x80, 0x05, "ScaledGyroVector", "fff"},
    {0x80, 0x06, "ScaledMageVector", "fff"},
    {0x80, 0x07, "DeltaThetaVector", "fff"},
    {0x80, 0x08, "DeltaVelocityVector", "fff"},
    {0x80, 0x17, "ScaledAmbientPressure", "f"},
    {0x80, 0x09, "CFOrientationMatrix", "fffffffff"},
    {0x80, 0x0A, "CFQuaternion", "ffff"},
    {0x80, 0x0C, "CFEulerAngles", "fff"},
    {0x80, 0x10, "CFStabilizedNorthVector", "fff"},
    {0x80, 0x11, "CFStabilizedUpVector", "fff"},
    {0x80, 0x12, "GPSCorrelationTimestamp", "dHH"},
    {0x82, 0x10, "FilterStatus", "HHH"},
    {0x82, 0x11, "GPSTimestamp", "dHV"},
    {0x82, 0x03, "OrientationQuaternion", "ffffV"},
    {0x82, 0x05, "OrientationEuler", "fffV"},
    {0x82, 0x0A, "AttitudeUncertaintyEuler", "fffV"},
    {0x82, 0x12, "AttitudeUncertaintyQuaternion", "ffffV"},
    {0x82, 0x04, "OrientationMatrix", "fffffffffV"},
    {0x82, 0x0E, "CompensatedAngularRate", "fffV"},
    {0x82, 0x06, "GyroBias", "fffV"},
    {0x82, 0x0B, "GyroBiasUncertainty", "fffV"},
    {0x82, 0x1C, "CompensatedAcceleration", "fffV"},
    {0x82, 0x0D, "LinearAcceleration", "fffV"},
    {0x82, 0x21, "PressureAltitude", "fV"},
    {0x82, 0x13, "GravityVector", "fffV"},
    {0x82, 0x0F, "WGS84LocalGravityMagnitude", "fV"},
};

std::size_t value_size(char letter) { return letter == 'f' ? 4 : letter == 'd' ? 8 : 2; }

const Layout* find_layout(std::uint8_t set, std::uint8_t descriptor) {
    for (const auto& layout : layouts) {
        if (layout.set == set && layout.descriptor == descriptor) return &layout;
    }
    return nullptr;
}

struct Expected {
    const Layout* layout;
    std::span<const std::uint8_t> data;  // the field's data bytes after its descriptor byte
};

// The readings a payload must give, worked out from the layouts alone.
std::vector<Expected> expected_readings(std::uint8_t set, std::span<const std::uint8_t> payload) {
    std::vector<Expected> out;
    std::size_t offset = 0;
    while (offset < payload.size()) {
        const std::size_t length = payload[offset] == 0 ? 1 : payload[offset];
        const std::size_t end = std::min(offset + length, payload.size());
        const auto body = payload.subspan(offset + 1, end - offset - 1);
        offset += length;
        if (body.empty()) continue;
        const Layout* layout = find_layout(set, body[0]);
        if (layout == nullptr) continue;
        const auto data = body.subspan(1);
        std::size_t at = 0;
        bool complete = true;
        for (char letter : layout->values) {
            const std::size_t size = value_size(letter);
            if (data.size() - at < size) {
                complete = false;
                break;
            }
            if (letter == 'V' && (data[at] != 0 || data[at + 1] > 1)) {
                complete = false;
                break;
            }
            at += size;
        }
        if (complete) out.push_back({layout, data});
    }
    return out;
}

// A reading's values written back in wire order, big-endian.
std::vector<std::uint8_t> wire_values(const Reading& reading) {
    std::vector<std::uint8_t> out;
    auto put = [&](std::uint64_t word, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    };
    visit_alternative(reading, [&](const auto& alternative, const DataSet&) {
        for_each_field(alternative, [&](const auto&, auto value) {
            using Value = decltype(value);
            if constexpr (std::is_same_v<Value, float>) put(std::bit_cast<std::uint32_t>(value), 4);
            else if constexpr (std::is_same_v<Value, double>) put(std::bit_cast<std::uint64_t>(value), 8);
            else if constexpr (std::is_same_v<Value, std::uint16_t>) put(value, 2);
            else put(value == ValidFlag::Valid ? 1 : 0, 2);
        });
    });
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t set_byte = data[0] < 0x40 ? static_cast<std::uint8_t>(tiltwick::descriptor_sets[data[0] % tiltwick::descriptor_sets.size()].descriptor) : data[0];
    const std::vector<std::uint8_t> payload(data + 1, data + size);

    const auto readings = decode_payload(set_byte, payload);
    const auto expected = expected_readings(set_byte, payload);

    FUZZ_CHECK(readings.size() == expected.size());
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const Reading& reading = readings[i];
        FUZZ_CHECK(reading.index() == (set_byte == 0x80 ? 0u : 1u));
        FUZZ_CHECK(alternative_name(reading) == expected[i].layout->name);
        const auto values = wire_values(reading);
        std::size_t layout_size = 0;
        for (char letter : expected[i].layout->values) layout_size += value_size(letter);
        FUZZ_CHECK(values.size() == layout_size);
        FUZZ_CHECK(values.size() <= expected[i].data.size());
        FUZZ_CHECK(std::equal(values.begin(), values.end(), expected[i].data.begin()));
    }

    const std::string text = readings_text(readings);
    FUZZ_CHECK(text.size() >= 2 && text.front() == '[' && text.back() == ']');
    for (const auto& reading : readings) {
        FUZZ_CHECK(text.find(alternative_name(reading)) != std::string::npos);
    }
    return 0;
}
