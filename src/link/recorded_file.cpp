#include "link/recorded_file.hpp"

namespace tiltwick {

std::expected<RecordedFile, IoError> RecordedFile::open(const std::string& path) {
    auto fd = open_read_only(path);
    if (!fd) return std::unexpected(std::move(fd.error()));
    return RecordedFile(std::move(*fd));
}

}  // namespace tiltwick
