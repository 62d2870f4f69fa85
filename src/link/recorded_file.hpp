#pragma once
// A recorded capture read strictly in order, one read(2) per request and no buffering.

#include <expected>
#include <string>

#include "link/byte_stream.hpp"
#include "link/file_descriptor.hpp"

namespace tiltwick {

class RecordedFile final : public ByteSource {
public:
    static std::expected<RecordedFile, IoError> open(const std::string& path);

    std::expected<std::size_t, IoError> read_some(std::span<std::uint8_t> into) override {
        return read_once(fd_.get(), into);
    }

private:
    explicit RecordedFile(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace tiltwick
