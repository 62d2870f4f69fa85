#include "decode/field_decoder.hpp"

#include <array>
#include <bit>
#include <type_traits>
#include <utility>

#include "decode/big_endian.hpp"

namespace tiltwick {

namespace {

// A read position over one field's bytes that never passes their end.
class FieldCursor {
public:
    explicit FieldCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <class Value>
    bool read(Value& out) {
        if constexpr (std::is_same_v<Value, float>) {
            if (!has(4)) return false;
            out = std::bit_cast<float>(load_u32(take(4)));
        } else if constexpr (std::is_same_v<Value, double>) {
            if (!has(8)) return false;
            out = std::bit_cast<double>(load_u64(take(8)));
        } else if constexpr (std::is_same_v<Value, std::uint16_t>) {
            if (!has(2)) return false;
            out = load_u16(take(2));
        } else {
            static_assert(std::is_same_v<Value, ValidFlag>);
            if (!has(2)) return false;
            const auto word = load_u16(take(2));
            if (word > 1) return false;
            out = word == 1 ? ValidFlag::Valid : ValidFlag::Invalid;
        }
        return true;
    }

private:
    bool has(std::size_t count) const { return bytes_.size() - position_ >= count; }
    const std::uint8_t* take(std::size_t count) {
        const auto* at = bytes_.data() + position_;
        position_ += count;
        return at;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

template <class Alt>
std::optional<Alt> decode_alternative(std::span<const std::uint8_t> data) {
    Alt alternative{};
    FieldCursor cursor(data);
    bool complete = true;
    std::apply([&](const auto&... field) { complete = (cursor.read(alternative.*(field.member)) && ...); },
               Alt::fields);
    if (!complete) return std::nullopt;
    return alternative;
}

using FieldDecoder = std::optional<Reading> (*)(std::span<const std::uint8_t> data);

// A table from field descriptor byte to decoder, one per data set, built from the catalogue.
template <class SetVariant>
constexpr std::array<FieldDecoder, 256> make_table() {
    std::array<FieldDecoder, 256> table{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((table[std::variant_alternative_t<I, SetVariant>::descriptor] =
              [](std::span<const std::uint8_t> data) -> std::optional<Reading> {
                  using Alt = std::variant_alternative_t<I, SetVariant>;
                  if (auto decoded = decode_alternative<Alt>(data)) return Reading(SetVariant(std::move(*decoded)));
                  return std::nullopt;
              }),
         ...);
    }(std::make_index_sequence<std::variant_size_v<SetVariant>>{});
    return table;
}

constexpr auto sensor_table = make_table<SensorReading>();
constexpr auto estimate_table = make_table<EstimateReading>();

const std::array<FieldDecoder, 256>* table_for(std::uint8_t descriptor_set) {
    if (descriptor_set == DataSetOf<SensorReading>::value.descriptor_set) return &sensor_table;
    if (descriptor_set == DataSetOf<EstimateReading>::value.descriptor_set) return &estimate_table;
    return nullptr;
}

}  // namespace

std::optional<Reading> decode_field(std::uint8_t descriptor_set, std::span<const std::uint8_t> field) {
    const auto* table = table_for(descriptor_set);
    if (table == nullptr || field.empty()) return std::nullopt;
    const auto decoder = (*table)[field[0]];
    if (decoder == nullptr) return std::nullopt;
    return decoder(field.subspan(1));
}

std::vector<Reading> decode_payload(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload) {
    std::vector<Reading> readings;
    decode_payload_into(descriptor_set, payload, readings);
    return readings;
}

void decode_payload_into(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload,
                         std::vector<Reading>& readings) {
    readings.clear();
    if (table_for(descriptor_set) == nullptr) return;
    const std::size_t n = payload.size();
    // At most one allocation, of just the room needed: a reading per field at most.
    std::size_t fields = 0;
    for (std::size_t offset = 0; offset < n; offset += payload[offset] == 0 ? 1 : payload[offset]) ++fields;
    readings.reserve(fields);
    std::size_t offset = 0;
    while (offset < n) {
        const std::size_t length = payload[offset] == 0 ? 1 : payload[offset];
        const std::size_t end = offset + length;
        const std::size_t cut = end < n ? end : n;
        if (auto reading = decode_field(descriptor_set, payload.subspan(offset + 1, cut - offset - 1))) {
            readings.push_back(std::move(*reading));
        }
        offset = end;
    }
}

}  // namespace tiltwick
