#include "client/reader_thread.hpp"

#include "client/ahrs_client.hpp"
#include "client/wall_clock.hpp"
#include "link/diagnostics.hpp"
#include "link/port.hpp"

namespace tiltwick {

namespace {

void end_thread(std::string_view message, std::string_view cause) {
    std::string text(message);
    text += ": ";
    text += cause;
    report_fatal("the reader thread", text);
}

}  // namespace

void run_reader(ReaderSettings settings, BoundedQueue<QueueEntry>::Producer producer) {
    auto opened = Port::open(settings.serial_device, settings.baud_rate);
    if (!opened) return end_thread("Failed to open port", opened.error().debug());
    Port port = std::move(*opened);
    port.start_stream();

    for (;;) {
        auto readings = port.read_packet();
        if (!readings) {
            if (settings.verbose) print_err("Error parsing packet: " + readings.error().debug());
            // Nobody can take entries any more: end now rather than spin on a silent or
            // unplugged line until a packet happens to arrive, holding the device open.
            if (!producer.connected()) return end_thread("Failed to send reading", "\"SendError(..)\"");
            continue;
        }
        PacketMap packet = AHRSClient::process_readings(std::move(*readings));
        auto now = wall_clock_ms();
        if (!now) return end_thread("Time went backwards", now.error());
        if (!producer.put(QueueEntry{*now, std::move(packet)})) {
            return end_thread("Failed to send reading", "\"SendError(..)\"");
        }
    }
}

}  // namespace tiltwick
