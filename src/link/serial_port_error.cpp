#include "link/serial_port_error.hpp"

#include <cerrno>

#include "link/quoted.hpp"

namespace tiltwick {

SerialPortError SerialPortError::from_errno(int code) {
    // The I/O kinds a serial-port error names as such; a few others have kinds of their own.
    switch (const IoErrorKind io_kind = kind_for_errno(code)) {
        case IoErrorKind::NotFound:
        case IoErrorKind::PermissionDenied:
            return {SerialErrorKind::Io, io_kind, os_message(code)};
        case IoErrorKind::InvalidInput:
            return {SerialErrorKind::InvalidInput, IoErrorKind::Other, os_message(code)};
        default:
            break;
    }
    const bool no_device = code == ENODEV || code == ENXIO;
    return {no_device ? SerialErrorKind::NoDevice : SerialErrorKind::Unknown, IoErrorKind::Other, os_message(code)};
}

std::string SerialPortError::render() const {
    std::string kind_text;
    switch (kind) {
        case SerialErrorKind::NoDevice: kind_text = "NoDevice"; break;
        case SerialErrorKind::InvalidInput: kind_text = "InvalidInput"; break;
        case SerialErrorKind::Unknown: kind_text = "Unknown"; break;
        case SerialErrorKind::Io: kind_text = "Io(" + std::string(kind_name(io_kind)) + ")"; break;
    }
    return "Error { kind: " + kind_text + ", description: " + quoted(description) + " }";
}

}  // namespace tiltwick
