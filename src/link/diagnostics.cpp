#include "link/diagnostics.hpp"

#include <cerrno>
#include <unistd.h>

namespace tiltwick {

namespace {

void write_all_to(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void write_line(int fd, std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text += line;
    text += '\n';
    write_all_to(fd, text.data(), text.size());
}

void write_text(int fd, std::string_view text) { write_all_to(fd, text.data(), text.size()); }

void write_line_buffered(int fd, std::string& line) {
    line += '\n';
    write_all_to(fd, line.data(), line.size());
    line.pop_back();
}

void report_fatal(std::string_view who, std::string_view message) {
    std::string text = "tiltwick: fatal error in ";
    text += who;
    text += ": ";
    text += message;
    write_line(2, text);
}

}  // namespace tiltwick
