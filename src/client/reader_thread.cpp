#include "client/reader_thread.hpp"

#include <cerrno>
#include <ctime>

#include "client/ahrs_client.hpp"
#include "client/wall_clock.hpp"
#include "link/diagnostics.hpp"
#include "link/port.hpp"

namespace tiltwick {

namespace {

// After a hang-up every read fails at once: wait as long as a read on a silent line would, so
// that an unplugged device costs what a silent one costs instead of a spinning core and a flood
// of diagnostic lines.
void pause_after_hang_up() {
    timespec left{0, SerialLine::timeout_ms * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

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
            if (port.hung_up()) pause_after_hang_up();
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
