// Floor of parse_data_stream_py: the same work with nothing spent beyond it. Reads the capture
// through an 8 KiB buffer, field by field (2, 1, 1, n and 2 bytes), checks the checksum,
// decodes the fields and writes the text form of each packet's readings with one write(2)
// per line; floats in their shortest form by std::to_chars, laid out by the plain/scientific
// rule of the text form. Ends with the same closing line on standard error.
//
//   dump_floor capture.bin

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mip.hpp"

namespace {

using namespace floors;

class BufferedFile {
public:
    explicit BufferedFile(int fd) : fd_(fd) {}

    // Exact read: true when all `size` bytes arrived; false at the end of the data or on an
    // error (errno_ tells which).
    bool read_exact(std::uint8_t* into, std::size_t size) {
        if (end_ - begin_ >= size) {
            std::memcpy(into, buffer_ + begin_, size);
            begin_ += size;
            return true;
        }
        while (size > 0) {
            if (begin_ == end_) {
                ssize_t got;
                do got = ::read(fd_, buffer_, sizeof buffer_);
                while (got < 0 && errno == EINTR);
                if (got <= 0) {
                    error_ = got < 0 ? errno : 0;
                    return false;
                }
                begin_ = 0;
                end_ = static_cast<std::size_t>(got);
            }
            const std::size_t take = size < end_ - begin_ ? size : end_ - begin_;
            std::memcpy(into, buffer_ + begin_, take);
            begin_ += take;
            into += take;
            size -= take;
        }
        return true;
    }

    int error() const { return error_; }

private:
    int fd_;
    std::uint8_t buffer_[8192];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    int error_ = 0;
};

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

template <class Float>
char* put_float(char* out, Float value) {
    if (std::isnan(value)) return put(out, "NaN");
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) return put(out, "inf");
    if (value == 0) return put(out, "0.0");
    // Shortest digits in scientific form, "d.ddde-05" or "de+16", then laid out again.
    char text[40];
    const char* end = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific).ptr;
    const char* e = static_cast<const char*>(std::memchr(text, 'e', static_cast<std::size_t>(end - text)));
    const char* rest = text[1] == '.' ? text + 2 : text + 1;  // digits after the first
    const int rest_count = static_cast<int>(e - rest);
    int exponent = 0;
    for (const char* p = e + 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (e[1] == '-') exponent = -exponent;
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out = put(out, "0.");
            for (int i = 0; i < -exponent - 1; ++i) *out++ = '0';
            *out++ = text[0];
            return put(out, std::string_view(rest, static_cast<std::size_t>(rest_count)));
        }
        *out++ = text[0];
        if (rest_count <= exponent) {
            out = put(out, std::string_view(rest, static_cast<std::size_t>(rest_count)));
            for (int i = rest_count; i < exponent; ++i) *out++ = '0';
            return put(out, ".0");
        }
        out = put(out, std::string_view(rest, static_cast<std::size_t>(exponent)));
        *out++ = '.';
        return put(out, std::string_view(rest + exponent, static_cast<std::size_t>(rest_count - exponent)));
    }
    *out++ = text[0];
    if (rest_count > 0) {
        *out++ = '.';
        out = put(out, std::string_view(rest, static_cast<std::size_t>(rest_count)));
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, exponent).ptr;
}

char* put_reading(char* out, const Reading& reading) {
    const Alternative& alternative = catalogue[reading.alternative];
    out = put(out, alternative.set == sensor_set ? "Sensor(" : "Estimate(");
    out = put(out, alternative.name);
    out = put(out, " { ");
    const Shape& shape = *alternative.shape;
    for (std::size_t i = 0; i < shape.count; ++i) {
        if (i > 0) out = put(out, ", ");
        out = put(out, shape.keys[i]);
        out = put(out, ": ");
        const double value = reading.values[i];
        switch (shape.wires[i]) {
            case F32: out = put_float(out, static_cast<float>(value)); break;
            case F64: out = put_float(out, value); break;
            case U16: out = std::to_chars(out, out + 8, static_cast<unsigned>(value)).ptr; break;
            case VF: out = put(out, value != 0 ? "Valid" : "Invalid"); break;
        }
    }
    return put(out, " })");
}

void end_of_file(int error) {
    char line[256];
    char* out = put(line, "End of file: ");
    if (error == 0) {
        out = put(out, "failed to fill whole buffer");
    } else {
        out = put(out, std::strerror(error));
        out += std::snprintf(out, 40, " (os error %d)", error);
    }
    *out++ = '\n';
    write_all(2, line, static_cast<std::size_t>(out - line));
}

// Bad input ends the run with a short description; the benchmark's captures hold none.
void parse_error(const char* what) {
    char line[256];
    char* out = put(line, "Error parsing packet from file: ");
    out = put(out, what);
    *out++ = '\n';
    write_all(2, line, static_cast<std::size_t>(out - line));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    static BufferedFile file(fd);
    static Reading readings[max_readings];
    static char line[16384];  // 255 payload bytes give at most about 3,100 characters of text
    for (;;) {
        std::uint8_t sync[2];
        if (!file.read_exact(sync, 2)) {
            end_of_file(file.error());
            break;
        }
        if (sync[0] != 0x75 || sync[1] != 0x65) {
            parse_error("bad sync");
            break;
        }
        Checksum checksum;
        std::uint8_t header[2];
        if (!file.read_exact(header, 1)) return parse_error("descriptor"), 0;
        if (set_names[header[0]].empty()) return parse_error("bad descriptor set"), 0;
        if (!file.read_exact(header + 1, 1)) return parse_error("payload_length"), 0;
        checksum.update(header, 2);
        std::uint8_t payload[255];
        if (!file.read_exact(payload, header[1])) return parse_error("bytes"), 0;
        checksum.update(payload, header[1]);
        std::uint8_t trailer[2];
        if (!file.read_exact(trailer, 2)) return parse_error("checksum"), 0;
        if ((trailer[0] << 8 | trailer[1]) != checksum.value()) return parse_error("bad checksum"), 0;

        const std::size_t count = decode_payload(header[0], payload, header[1], readings);
        char* out = line;
        *out++ = '[';
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out = put(out, ", ");
            out = put_reading(out, readings[i]);
        }
        *out++ = ']';
        *out++ = '\n';
        write_all(1, line, static_cast<std::size_t>(out - line));
    }
    ::close(fd);
    return 0;
}
