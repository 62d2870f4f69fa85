#pragma once
// The readings of one packet, keyed by alternative name, plus "type": "sensor" or "estimate".

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "decode/catalogue.hpp"

namespace tiltwick {

using ReadingOrString = std::variant<Reading, std::string>;

// A small map that keeps its keys in first-insertion order, so that the dict built from it
// has a stable order: "type" first, then the alternatives in the order first seen. A packet
// holds a few dozen fields at most, so a linear lookup beats hashing here.
class PacketMap {
public:
    using Entry = std::pair<std::string_view, ReadingOrString>;

    // Inserts or replaces; a replaced key keeps its position. Keys must outlive the map
    // (they are "type" and the catalogue's alternative names).
    void insert(std::string_view key, ReadingOrString value);

    void reserve(std::size_t count) { entries_.reserve(count); }
    const std::vector<Entry>& entries() const { return entries_; }
    std::vector<Entry>& entries() { return entries_; }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }

private:
    std::vector<Entry> entries_;
};

}  // namespace tiltwick
