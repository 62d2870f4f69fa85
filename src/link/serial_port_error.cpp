#include "link/serial_port_error.hpp"

#include <cerrno>

#include "link/quoted.hpp"

namespace tiltwick {

SerialPortError SerialPortError::from_errno(int code) {
    SerialPortError error{SerialErrorKind::Unknown, IoErrorKind::Other, os_message(code)};
    switch (code) {
        case ENOENT:
            error.kind = SerialErrorKind::Io;
            error.io_kind = IoErrorKind::NotFound;
            break;
        case EACCES:
        case EPERM:
            error.kind = SerialErrorKind::Io;
            error.io_kind = IoErrorKind::PermissionDenied;
            break;
        case ENODEV:
        case ENXIO:
            error.kind = SerialErrorKind::NoDevice;
            break;
        case EINVAL:
            error.kind = SerialErrorKind::InvalidInput;
            break;
        default:
            break;
    }
    return error;
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
