#pragma once
// I/O errors as values: what a byte source, a file or the serial line reports.

#include <optional>
#include <string>
#include <string_view>

namespace tiltwick {

enum class IoErrorKind {
    NotFound,
    PermissionDenied,
    AlreadyExists,
    WouldBlock,
    InvalidInput,
    TimedOut,
    Interrupted,
    UnexpectedEof,
    BrokenPipe,
    ResourceBusy,
    IsADirectory,
    NotADirectory,
    OutOfMemory,
    Unsupported,
    Other,
};

std::string_view kind_name(IoErrorKind kind);

struct IoError {
    IoErrorKind kind = IoErrorKind::Other;
    std::optional<int> os_code;  // set for errors reported by the operating system
    std::string message;

    // An operating-system error: kind and message follow from the error number.
    static IoError from_errno(int code);
    static IoError custom(IoErrorKind kind, std::string message);
    static IoError end_of_stream() { return custom(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"); }
    static IoError timed_out() { return custom(IoErrorKind::TimedOut, "Operation timed out"); }

    // The message alone; OS errors add " (os error N)".
    std::string short_text() const;
    // Kind and message, and the error number for OS errors:
    // Os { code: 2, kind: NotFound, message: "No such file or directory" }
    // Custom { kind: TimedOut, message: "Operation timed out" }
    std::string diagnostic_text() const;
};

IoErrorKind kind_for_errno(int code);
std::string os_message(int code);

}  // namespace tiltwick
