#include "link/port.hpp"

#include "link/diagnostics.hpp"
#include "link/forward_only_seek.hpp"
#include "link/mip_packet.hpp"

namespace tiltwick {

// One packet attempt on an open source; Resync decides what happens between attempts.
std::expected<std::vector<Reading>, AHRSError> Port::read_step(ByteSource& source, bool recorded_file) {
    ForwardOnlySeek stream(source);
    auto packet = MipPacket::read_from(stream, resync_.kept());
    hung_up_ = false;
    if (packet) {
        resync_.forget();
        if (recorded_file) write_text(1, parsed_packet_line(packet->descriptor));
        return std::move(*packet).to_sensor_readings_with_options();
    }
    const ParseError& error = packet.error();
    if (error.is_failure_before_sync()) {
        resync_.after_stream_failure(stream);
        const auto& io = std::get<StreamFailure>(error.cause).error;
        hung_up_ = io.kind == IoErrorKind::BrokenPipe;
        print_err("IOERR: " + io.short_text());
        return std::unexpected(AHRSError::io(io));
    }
    if (!recorded_file) print_err("Error parsing packet: " + error.render());
    if (auto skipped = resync_.skip_after_failure(stream); !skipped) {
        hung_up_ = skipped.error().kind == IoErrorKind::BrokenPipe;
        return std::unexpected(AHRSError::io(skipped.error()));
    }
    return std::vector<Reading>{};
}

std::expected<Port, AHRSError> Port::open(const std::string& serial_device, std::uint32_t baud_rate) {
    auto line = SerialLine::open(serial_device, baud_rate);
    if (!line) return std::unexpected(AHRSError::serial_port(line.error()));
    return Port(Configured{std::move(*line)});
}

std::expected<Port, AHRSError> Port::open_file(const std::string& filename) {
    auto file = RecordedFile::open(filename);
    if (!file) return std::unexpected(AHRSError::io(file.error()));
    return replaying(std::make_unique<RecordedFile>(std::move(*file)));
}

const char* refusal_line(const PortState& state) {
    if (std::holds_alternative<Streaming>(state)) return "Port already streaming";
    if (std::holds_alternative<File>(state)) return "Cannot configure file stream";
    if (std::holds_alternative<NotConfigured>(state)) return "Port not configured";
    return nullptr;
}

void Port::start_stream() {
    if (auto* configured = std::get_if<Configured>(&state_)) {
        state_ = Streaming{std::move(configured->line)};
        return;
    }
    print_err(refusal_line(state_));
}

std::expected<std::vector<Reading>, AHRSError> Port::read_packet() {
    if (auto* streaming = std::get_if<Streaming>(&state_)) return read_step(streaming->line, false);
    if (auto* file = std::get_if<File>(&state_)) return read_step(*file->source, true);
    hung_up_ = false;
    const SerialPortError not_streaming{SerialErrorKind::InvalidInput, IoErrorKind::Other, "Port not streaming"};
    return std::unexpected(AHRSError::serial_port(not_streaming));
}

}  // namespace tiltwick
