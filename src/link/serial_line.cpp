#include "link/serial_line.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/termios2.hpp"

#ifndef TIOCGEXCL  // C library headers older than the kernel's 3.8
#define TIOCGEXCL _IOR('T', 0x40, int)
#endif

namespace tiltwick {

namespace {

// Whether the line is claimed exclusively already, or the errno of the request. The kernel lets a
// privileged process open a claimed line all the same, and that process's release would then clear
// the holder's claim. A kernel without TIOCGEXCL (before 3.8) cannot tell: the line counts as free.
std::expected<bool, int> claimed_already(int fd) {
    int claimed = 0;
    if (::ioctl(fd, TIOCGEXCL, &claimed) == 0) return claimed != 0;
    if (errno == ENOTTY || errno == EINVAL) return false;
    return std::unexpected(errno);
}

std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the line is ready for `events`, at most 100 ms in all: signals that interrupt
// the wait neither fail it nor restart the full time-out.
std::expected<short, IoError> wait_for(int fd, short events) {
    const std::int64_t deadline = monotonic_ms() + SerialLine::timeout_ms;
    int remaining = SerialLine::timeout_ms;
    for (;;) {
        pollfd request{fd, events, 0};
        const int ready = ::poll(&request, 1, remaining);
        if (ready > 0) return request.revents;
        if (ready == 0) return std::unexpected(IoError::timed_out());
        if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) return std::unexpected(IoError::timed_out());
        remaining = static_cast<int>(left);
    }
}

}  // namespace

std::expected<SerialLine, SerialPortError> SerialLine::open(const std::string& path, std::uint32_t baud_rate) {
    if (has_nul(path)) return std::unexpected(SerialPortError{SerialErrorKind::InvalidInput, IoErrorKind::Other, path_with_nul});
    UniqueFd low(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!low) return std::unexpected(SerialPortError::from_errno(errno));
    auto opened = above_standard_streams(std::move(low));
    if (!opened) return std::unexpected(SerialPortError::from_errno(opened.error().os_code.value_or(EMFILE)));
    UniqueFd fd = std::move(*opened);

    // Until this process has made its own claim, a failure only closes the descriptor: a claim
    // already there belongs to another process, which keeps it. A claimed line is refused as the
    // kernel refuses an unprivileged process, root included.
    auto refuse = [&](SerialPortError error) {
        fd.reset();
        return std::unexpected(std::move(error));
    };
    const auto held = claimed_already(fd.get());
    if (!held) return refuse(SerialPortError::from_errno(held.error()));
    if (*held) return refuse(SerialPortError::from_errno(EBUSY));
    if (::ioctl(fd.get(), TIOCEXCL) != 0) return refuse(SerialPortError::from_errno(errno));

    // From here on a failure gives this process's claim back before the descriptor closes.
    auto fail = [&](SerialPortError error) {
        ::ioctl(fd.get(), TIOCNXCL);
        return refuse(std::move(error));
    };

    termios settings{};
    if (::tcgetattr(fd.get(), &settings) != 0) return fail(SerialPortError::from_errno(errno));
    settings.c_cflag |= CREAD | CLOCAL;
    ::cfmakeraw(&settings);
    if (::tcsetattr(fd.get(), TCSANOW, &settings) != 0) return fail(SerialPortError::from_errno(errno));
    termios applied{};
    if (::tcgetattr(fd.get(), &applied) != 0) return fail(SerialPortError::from_errno(errno));
    const SerialPortError not_applied{SerialErrorKind::Unknown, IoErrorKind::Other, "Settings did not apply correctly"};
    if (applied.c_iflag != settings.c_iflag || applied.c_oflag != settings.c_oflag ||
        applied.c_cflag != settings.c_cflag || applied.c_lflag != settings.c_lflag) {
        return fail(not_applied);
    }

    if (::fcntl(fd.get(), F_SETFL, 0) != 0) return fail(SerialPortError::from_errno(errno));
    if (const int error = apply_line_format_and_speed(fd.get(), baud_rate); error != 0) {
        return fail(error == speed_not_kept ? not_applied : SerialPortError::from_errno(error));
    }
    return SerialLine(std::move(fd));
}

void SerialLine::release() {
    if (fd_) ::ioctl(fd_.get(), TIOCNXCL);
    fd_.reset();
}

SerialLine& SerialLine::operator=(SerialLine&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
    }
    return *this;
}

SerialLine::~SerialLine() { release(); }

std::expected<std::size_t, IoError> SerialLine::read_some(std::span<std::uint8_t> into) {
    if (into.empty()) return 0;
    for (;;) {
        auto ready = wait_for(fd_.get(), POLLIN);
        if (!ready) return std::unexpected(std::move(ready.error()));
        if (*ready & POLLNVAL) return std::unexpected(IoError::from_errno(EBADF));
        if (*ready & POLLIN) {
            const ssize_t got = ::read(fd_.get(), into.data(), into.size());
            if (got > 0) return static_cast<std::size_t>(got);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            // Nothing to read although the line said so: the other end has gone.
            if (got == 0 || errno == EIO) return std::unexpected(IoError::from_errno(EPIPE));
            return std::unexpected(IoError::from_errno(errno));
        }
        if (*ready & (POLLHUP | POLLERR)) return std::unexpected(IoError::from_errno(EPIPE));
    }
}

std::expected<void, IoError> SerialLine::write_all(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        auto ready = wait_for(fd_.get(), POLLOUT);
        if (!ready) return std::unexpected(std::move(ready.error()));
        if (*ready & POLLNVAL) return std::unexpected(IoError::from_errno(EBADF));
        if (!(*ready & POLLOUT)) return std::unexpected(IoError::from_errno(EPIPE));
        const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return std::unexpected(IoError::from_errno(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

}  // namespace tiltwick
