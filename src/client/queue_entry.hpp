#pragma once

#include <cstdint>

#include "client/packet_map.hpp"

namespace tiltwick {

// One decoded packet as the reader thread queues it: wall-clock milliseconds and its map.
struct QueueEntry {
    std::uint64_t timestamp_ms;
    PacketMap packet;
};

}  // namespace tiltwick
