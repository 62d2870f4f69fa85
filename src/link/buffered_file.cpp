#include "link/buffered_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "link/file_descriptor.hpp"

namespace tiltwick {

std::expected<std::size_t, IoError> BufferedFile::refill() {
    auto got = read_once(fd_.get(), buffer_);
    if (!got) return std::unexpected(std::move(got.error()));
    begin_ = 0;
    end_ = *got;
    return end_;
}

std::expected<std::uint64_t, IoError> BufferedFile::start_offset() const {
    const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (position < 0) return std::unexpected(IoError::from_errno(errno));
    return static_cast<std::uint64_t>(position);
}

}  // namespace tiltwick
