#pragma once
// Decoding the data fields of a packet's payload into readings.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "decode/catalogue.hpp"
#include "link/descriptor.hpp"

namespace tiltwick {

// Decodes one field (its descriptor byte and data bytes, already cut at the payload's end)
// of the given descriptor set; nothing when the field does not decode completely.
std::optional<Reading> decode_field(Descriptor set, std::span<const std::uint8_t> field);

// Walks the fields of a payload: length byte (0 counts as 1), descriptor byte, data.
std::vector<Reading> decode_payload(Descriptor set, std::span<const std::uint8_t> payload);

}  // namespace tiltwick
