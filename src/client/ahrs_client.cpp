#include "client/ahrs_client.hpp"

#include "link/commands.hpp"

namespace tiltwick {

std::expected<void, AHRSError> AHRSClient::open(const std::string& serial_device, std::uint32_t baud_rate) {
    auto opened = Port::open(serial_device, baud_rate);
    if (!opened) return std::unexpected(std::move(opened.error()));
    port_ = std::move(*opened);
    return {};
}

std::expected<void, AHRSError> AHRSClient::open_file(const std::string& filename) {
    auto opened = Port::open_file(filename);
    if (!opened) return std::unexpected(std::move(opened.error()));
    port_ = std::move(*opened);
    return {};
}

std::expected<void, InternalFailureError> AHRSClient::configure() {
    auto sent = send_idle_and_streams_off(port_);
    if (!sent) return std::unexpected(InternalFailureError{"failed to send a command to the device: " +
                                                           sent.error().diagnostic_text()});
    return {};
}

PacketMap AHRSClient::process_readings(std::vector<Reading> readings) { return PacketMap(std::move(readings)); }

}  // namespace tiltwick
