#pragma once
// What a port keeps between packet attempts: how much of a sync pair the bytes it has just
// discarded end with. The next attempt starts from there and reads only the sync bytes it still
// lacks, so that every byte after a failed attempt is a candidate packet start. Without it, a
// sync pair that straddles the end of a failed attempt is lost, and a misaligned reader moves on
// in steps of 3 bytes: on a stream whose packet cycle is a multiple of 3 bytes long it can miss
// every packet from two phases out of three.

#include <cstdint>
#include <span>

namespace tiltwick {

class SyncProgress {
public:
    // 0, 1 (0x75 kept) or 2 (0x75 0x65 kept).
    std::uint8_t kept() const { return kept_; }

    // A good packet, a stream that has ended or a new source: nothing is kept.
    void clear() { kept_ = 0; }

    // The attempt that started from kept() has discarded bytes ending with `last_bytes` (the
    // last one or two of them; none if it read nothing): keep the sync bytes they end with.
    void after_discarding(std::span<const std::uint8_t> last_bytes);

private:
    std::uint8_t kept_ = 0;
};

}  // namespace tiltwick
