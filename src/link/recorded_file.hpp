#pragma once
// A recorded capture read strictly in order, one read(2) per request and no buffering.

#include <expected>
#include <string>

#include "link/byte_stream.hpp"
#include "link/unique_fd.hpp"

namespace tiltwick {

class RecordedFile final : public ByteSource {
public:
    static std::expected<RecordedFile, IoError> open(const std::string& path);

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override;

private:
    explicit RecordedFile(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// Opens a file read-only for one of the readers of recorded captures.
std::expected<UniqueFd, IoError> open_read_only(const std::string& path);

// One read(2), retried when a signal interrupts it.
std::expected<std::size_t, IoError> read_once(int fd, std::span<std::uint8_t> into);

}  // namespace tiltwick
