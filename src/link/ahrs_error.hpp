#pragma once
// The one error type that reaches Python callers: a single descriptive text.

#include <string>

#include "link/io_error.hpp"
#include "link/serial_port_error.hpp"

namespace tiltwick {

struct AHRSError {
    std::string error;

    // "IOError: " and the diagnostic rendering of the I/O error.
    static AHRSError io(const IoError& cause) { return AHRSError{"IOError: " + cause.diagnostic_text()}; }
    // "SerialPortError: " and the rendering of the serial-port error.
    static AHRSError serial_port(const SerialPortError& cause) { return AHRSError{"SerialPortError: " + cause.render()}; }

    // "AHRSError: " and the text: the message of the Python exception.
    std::string display() const { return "AHRSError: " + error; }
    // AHRSError { error: "<text with escapes>" }
    std::string debug() const;
};

}  // namespace tiltwick
