#include "client/packet_map.hpp"

namespace tiltwick {

void PacketMap::insert(std::string_view key, ReadingOrString value) {
    for (auto& entry : entries_) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(key, std::move(value));
}

}  // namespace tiltwick
