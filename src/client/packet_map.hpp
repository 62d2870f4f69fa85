#pragma once
// The readings of one packet, one per alternative: "type" ("sensor" or "estimate") and each
// alternative under its name, in the order it first appears, holding its last reading. The
// dict built from it keeps that order.

#include <span>
#include <vector>

#include "decode/catalogue.hpp"

namespace tiltwick {

class PacketMap {
public:
    PacketMap() = default;
    // Files one packet's readings in their own storage: a later reading of an alternative takes
    // the place of the earlier one. Nothing is allocated.
    explicit PacketMap(std::vector<Reading> readings);

    bool empty() const { return readings_.empty(); }
    // The set the readings belong to, which gives "type"; only when not empty.
    const DataSet& set() const;
    // One reading per alternative, in the order the alternatives first appeared.
    std::span<const Reading> readings() const { return readings_; }

private:
    std::vector<Reading> readings_;
};

}  // namespace tiltwick
