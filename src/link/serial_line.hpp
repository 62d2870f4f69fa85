#pragma once
// The device's serial line: raw 8N1, exclusive (a line another process has claimed is refused,
// root or not), any baud rate, 100 ms per read or write.

#include <cstdint>
#include <expected>
#include <string>

#include "link/byte_stream.hpp"
#include "link/serial_port_error.hpp"
#include "link/file_descriptor.hpp"

namespace tiltwick {

class SerialLine final : public ByteSource, public ByteSink {
public:
    static constexpr int timeout_ms = 100;

    static std::expected<SerialLine, SerialPortError> open(const std::string& path, std::uint32_t baud_rate);

    SerialLine(SerialLine&&) noexcept = default;
    SerialLine& operator=(SerialLine&&) noexcept;
    ~SerialLine() override;

    // Waits at most 100 ms for input, then takes what is there. A hang-up is a broken pipe.
    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override;
    // Each part waits at most 100 ms for the line to accept it.
    std::expected<void, IoError> write_all(std::span<const std::uint8_t> bytes) override;

private:
    explicit SerialLine(UniqueFd fd) : fd_(std::move(fd)) {}
    void release();

    UniqueFd fd_;
};

}  // namespace tiltwick
