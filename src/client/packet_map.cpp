#include "client/packet_map.hpp"

#include <array>
#include <cstdint>

namespace tiltwick {

namespace {

constexpr std::size_t most_alternatives =
    std::max(std::variant_size_v<SensorReading>, std::variant_size_v<EstimateReading>);

// A slot per alternative of both sets.
std::size_t slot_of(const Reading& reading) {
    return std::visit([&](const auto& set) { return set.index(); }, static_cast<const ReadingSets&>(reading)) +
           reading.index() * most_alternatives;
}

}  // namespace

PacketMap::PacketMap(std::vector<Reading> readings) : readings_(std::move(readings)) {
    constexpr std::uint8_t absent = 0xFF;
    std::array<std::uint8_t, 2 * most_alternatives> position;
    position.fill(absent);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < readings_.size(); ++i) {
        std::uint8_t& at = position[slot_of(readings_[i])];
        if (at == absent) at = static_cast<std::uint8_t>(kept++);
        if (at != i) readings_[at] = std::move(readings_[i]);
    }
    readings_.erase(readings_.begin() + static_cast<std::ptrdiff_t>(kept), readings_.end());
}

const DataSet& PacketMap::set() const {
    return visit_alternative(readings_.front(), [](const auto&, const DataSet& set) -> const DataSet& { return set; });
}

}  // namespace tiltwick
