#include "link/io_error.hpp"

#include <cerrno>
#include <cstring>

#include "link/quoted.hpp"

namespace tiltwick {

std::string_view kind_name(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound: return "NotFound";
        case IoErrorKind::PermissionDenied: return "PermissionDenied";
        case IoErrorKind::AlreadyExists: return "AlreadyExists";
        case IoErrorKind::WouldBlock: return "WouldBlock";
        case IoErrorKind::InvalidInput: return "InvalidInput";
        case IoErrorKind::TimedOut: return "TimedOut";
        case IoErrorKind::Interrupted: return "Interrupted";
        case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
        case IoErrorKind::BrokenPipe: return "BrokenPipe";
        case IoErrorKind::ResourceBusy: return "ResourceBusy";
        case IoErrorKind::IsADirectory: return "IsADirectory";
        case IoErrorKind::NotADirectory: return "NotADirectory";
        case IoErrorKind::OutOfMemory: return "OutOfMemory";
        case IoErrorKind::Unsupported: return "Unsupported";
        case IoErrorKind::Other: return "Other";
    }
    return "Other";
}

IoErrorKind kind_for_errno(int code) {
    switch (code) {
        case ENOENT: return IoErrorKind::NotFound;
        case EACCES:
        case EPERM: return IoErrorKind::PermissionDenied;
        case EEXIST: return IoErrorKind::AlreadyExists;
        case EAGAIN: return IoErrorKind::WouldBlock;
        case EINVAL: return IoErrorKind::InvalidInput;
        case ETIMEDOUT: return IoErrorKind::TimedOut;
        case EINTR: return IoErrorKind::Interrupted;
        case EPIPE: return IoErrorKind::BrokenPipe;
        case EBUSY: return IoErrorKind::ResourceBusy;
        case EISDIR: return IoErrorKind::IsADirectory;
        case ENOTDIR: return IoErrorKind::NotADirectory;
        case ENOMEM: return IoErrorKind::OutOfMemory;
        case ENOSYS:
        case EOPNOTSUPP: return IoErrorKind::Unsupported;
        default: return IoErrorKind::Other;
    }
}

std::string os_message(int code) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error");
}

IoError IoError::from_errno(int code) {
    return IoError{kind_for_errno(code), code, os_message(code)};
}

IoError IoError::custom(IoErrorKind kind, std::string message) {
    return IoError{kind, std::nullopt, std::move(message)};
}

std::string IoError::short_text() const {
    if (!os_code) return message;
    return message + " (os error " + std::to_string(*os_code) + ")";
}

std::string IoError::diagnostic_text() const {
    std::string out;
    if (os_code) {
        out = "Os { code: " + std::to_string(*os_code) + ", kind: ";
    } else {
        out = "Custom { kind: ";
    }
    out += kind_name(kind);
    out += ", message: ";
    out += quoted(message);
    out += " }";
    return out;
}

}  // namespace tiltwick
