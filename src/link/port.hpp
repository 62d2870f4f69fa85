#pragma once
// The owner of the current byte source and of whether packets may be read from it.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "decode/catalogue.hpp"
#include "link/ahrs_error.hpp"
#include "link/recorded_file.hpp"
#include "link/serial_line.hpp"
#include "link/resync.hpp"

namespace tiltwick {

struct Configured {
    SerialLine line;  // open and set up; packets are not read yet
};
struct Streaming {
    SerialLine line;
};
struct File {
    std::unique_ptr<ByteSource> source;  // a recorded file, or any other capture read in order
};
struct NotConfigured {};

using PortState = std::variant<Configured, Streaming, File, NotConfigured>;

class Port {
public:
    Port() : state_(NotConfigured{}) {}

    // A port in state Configured, or "SerialPortError: " and the serial-port error.
    static std::expected<Port, AHRSError> open(const std::string& serial_device, std::uint32_t baud_rate);
    // A port in state File, or "IOError: " and the I/O error.
    static std::expected<Port, AHRSError> open_file(const std::string& filename);
    // A port in state File over any byte source read in order, such as a capture held in
    // memory: the same reading step as a recorded file, for native callers.
    static Port replaying(std::unique_ptr<ByteSource> source) { return Port(File{std::move(source)}); }

    // Configured becomes Streaming; every other state prints why it stays as it is.
    void start_stream();

    // One attempt at one packet: its readings (possibly none), or the error that ended it.
    std::expected<std::vector<Reading>, AHRSError> read_packet();

    // Whether the last read_packet failed because the line was hung up (the device has gone).
    bool hung_up() const { return hung_up_; }

    // The sync bytes the next attempt starts with (see Resync).
    std::uint8_t kept_sync() const { return resync_.kept(); }

    const PortState& state() const { return state_; }
    PortState& state() { return state_; }

private:
    explicit Port(PortState state) : state_(std::move(state)) {}
    std::expected<std::vector<Reading>, AHRSError> read_step(ByteSource& source, bool recorded_file);

    PortState state_;
    Resync resync_;  // belongs to the current source: a new port starts with nothing kept
    bool hung_up_ = false;
};

// The line printed when a state refuses to start streaming or to be configured, or
// nothing for Configured.
const char* refusal_line(const PortState& state);

}  // namespace tiltwick
