#pragma once
// How the reading step gets back in step with a stream after a failed packet attempt: the whole
// rule in one place. A failed attempt keeps every byte it consumed; one more byte is skipped
// after it (unless the stream ended or fell silent before the attempt had its sync bytes); and
// the sync bytes that the discarded bytes end with (nothing, 0x75, or 0x75 0x65) are kept, so the
// next attempt starts from them and reads only the sync bytes it still lacks. Every byte after a
// failed attempt is thus a candidate packet start. Without the kept sync bytes, a sync pair that
// straddles the end of a failed attempt is lost, and a misaligned reader moves on in steps of 3
// bytes: on a stream whose packet cycle is a multiple of 3 bytes long it can miss every packet
// from two phases out of three. A good packet, or a new source, keeps nothing.

#include <cstdint>
#include <expected>
#include <span>

#include "link/forward_only_seek.hpp"
#include "link/io_error.hpp"

namespace tiltwick {

class Resync {
public:
    // The sync bytes the next attempt starts with: 0, 1 (0x75) or 2 (0x75 0x65).
    std::uint8_t kept() const { return kept_; }

    // A good packet, or a new source: the next attempt reads its sync bytes afresh.
    void forget() { kept_ = 0; }

    // The attempt failed before it had its sync bytes (the stream ended or fell silent):
    // nothing more is skipped; the bytes it read are kept as sync progress where they fit.
    void after_stream_failure(const ForwardOnlySeek& stream) { keep_sync_bytes_ending(stream.last_bytes()); }

    // Any other failed attempt: skip one more byte, then keep the sync bytes that the discarded
    // bytes end with. A skip that fails (the stream ended) keeps nothing.
    std::expected<void, IoError> skip_after_failure(ForwardOnlySeek& stream);

private:
    // The attempt that started from kept() has discarded bytes ending with `last_bytes` (the
    // last one or two of them; none if it read nothing).
    void keep_sync_bytes_ending(std::span<const std::uint8_t> last_bytes);

    std::uint8_t kept_ = 0;
};

}  // namespace tiltwick
