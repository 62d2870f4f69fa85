#pragma once
// Diagnostic lines on the process's standard output and standard error (fd 1 and 2),
// written directly with one write(2) per line, never through Python's sys.stdout/stderr.

#include <string>
#include <string_view>

namespace tiltwick {

// Writes `line` and a newline with a single write(2); failures to write are ignored.
void write_line(int fd, std::string_view line);
inline void print_err(std::string_view line) { write_line(2, line); }

// Writes `line` followed by "\n" taken from a caller's reusable buffer (no allocation per line).
void write_line_buffered(int fd, std::string& line_without_newline);

// Writes text that already ends with its newline, with a single write(2).
void write_text(int fd, std::string_view text);

// An unrecoverable failure, reported on standard error before the caller gives up.
void report_fatal(std::string_view who, std::string_view message);

}  // namespace tiltwick
