#include "link/file_descriptor.hpp"

#include <cerrno>
#include <fcntl.h>

namespace tiltwick {

std::expected<UniqueFd, IoError> open_read_only(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(IoError::from_errno(errno));
    return fd;
}

std::expected<std::size_t, IoError> read_once(int fd, std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd, into.data(), into.size());
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
    }
}

}  // namespace tiltwick
