#pragma once
// The synchronous client: one Port, driven one step at a time by its caller.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "client/packet_map.hpp"
#include "link/port.hpp"

namespace tiltwick {

// A failure the caller cannot recover from inside the call (a command write that failed).
struct InternalFailureError {
    std::string text;
};

class AHRSClient {
public:
    // The old source is closed only after the new one has opened.
    std::expected<void, AHRSError> open(const std::string& serial_device, std::uint32_t baud_rate);
    std::expected<void, AHRSError> open_file(const std::string& filename);
    std::expected<void, InternalFailureError> configure();
    void start_stream() { port_.start_stream(); }
    std::expected<std::vector<Reading>, AHRSError> read_packet() { return port_.read_packet(); }

    // Files each reading under its alternative's name (the last of an alternative wins)
    // and "type" under "sensor" or "estimate". An empty list gives an empty map.
    static PacketMap process_readings(std::vector<Reading> readings);

private:
    Port port_;
};

}  // namespace tiltwick
