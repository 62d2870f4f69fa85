#include "link/file_descriptor.hpp"

#include <cerrno>
#include <fcntl.h>

namespace tiltwick {

std::expected<UniqueFd, IoError> above_standard_streams(UniqueFd fd) {
    if (fd.get() > STDERR_FILENO) return fd;
    UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!moved) return std::unexpected(IoError::from_errno(errno));
    return moved;  // the low descriptor closes with `fd`
}

std::expected<UniqueFd, IoError> open_read_only(const std::string& path) {
    if (has_nul(path)) return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, path_with_nul));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(IoError::from_errno(errno));
    return above_standard_streams(std::move(fd));
}

std::expected<std::size_t, IoError> read_once(int fd, std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
    }
}

}  // namespace tiltwick
