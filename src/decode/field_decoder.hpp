#pragma once
// Decoding the data fields of a packet's payload into readings. A pure function of the
// descriptor set byte and the payload bytes: it knows nothing of how packets are framed.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "decode/catalogue.hpp"

namespace tiltwick {

// Decodes one field (its descriptor byte and data bytes, already cut at the payload's end)
// of the given descriptor set; nothing when the field does not decode completely.
std::optional<Reading> decode_field(std::uint8_t descriptor_set, std::span<const std::uint8_t> field);

// Walks the fields of a payload: length byte (0 counts as 1), descriptor byte, data. Sets
// other than the sensor and estimation-filter sets yield nothing.
std::vector<Reading> decode_payload(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload);
// The same into `readings`, emptied first; its storage is reused when it is large enough.
void decode_payload_into(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload,
                         std::vector<Reading>& readings);

}  // namespace tiltwick
