#include "link/recorded_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

std::expected<RecordedFile, IoError> RecordedFile::open(const std::string& path) {
    auto fd = open_read_only(path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    return RecordedFile(std::move(*fd));
}

std::expected<std::size_t, IoError> RecordedFile::read_some(std::span<std::uint8_t> into) {
    return read_once(fd_.get(), into);
}

}  // namespace tiltwick
