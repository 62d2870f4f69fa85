#pragma once
// What a failed open of the serial line, or a read with no stream open, reports.

#include <optional>
#include <string>

#include "link/io_error.hpp"

namespace tiltwick {

enum class SerialErrorKind { NoDevice, InvalidInput, Unknown, Io };

struct SerialPortError {
    SerialErrorKind kind = SerialErrorKind::Unknown;
    IoErrorKind io_kind = IoErrorKind::Other;  // meaningful for SerialErrorKind::Io only
    std::string description;

    static SerialPortError from_errno(int code);

    // Error { kind: Io(NotFound), description: "No such file or directory" }
    std::string render() const;
};

}  // namespace tiltwick
