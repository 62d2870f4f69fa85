#pragma once
// File descriptors: an owner that closes, and the two plain calls the readers of recorded
// captures make, with errors as values.

#include <unistd.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "link/io_error.hpp"

namespace tiltwick {

// An owned file descriptor, closed when the owner goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// What a path with a NUL byte in it is refused with: the system would read it only up to the
// NUL, and open another file or device.
inline constexpr const char* path_with_nul = "path contains a NUL byte";
inline bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The descriptor moved to 3 or above, close-on-exec. In a process started with descriptor 2
// (or 0 or 1) closed, an open may return that number, and the diagnostics written to it would
// go into the line or the file.
std::expected<UniqueFd, IoError> above_standard_streams(UniqueFd fd);

// Opens a file read-only, without creating it, on a descriptor of 3 or above.
std::expected<UniqueFd, IoError> open_read_only(const std::string& path);

// One read(2), retried when a signal interrupts it; 0 at the end of the file.
std::expected<std::size_t, IoError> read_once(int fd, std::span<std::uint8_t> into);

}  // namespace tiltwick
