#include "decode/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tiltwick {

namespace {

char* put(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

char* put_zeros(char* out, int count) {
    for (int i = 0; i < count; ++i) *out++ = '0';
    return out;
}

// Lays out the shortest digits, `first` then the `count` digits of `rest`, with decimal exponent
// `exponent` (value = first.rest x 10^exponent): plain decimal from 1e-4 up to 1e16, scientific
// outside.
char* lay_out(char* out, char first, const char* rest, int count, int exponent) {
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out = put(out, "0.", 2);
            out = put_zeros(out, -exponent - 1);
            *out++ = first;
            return put(out, rest, static_cast<std::size_t>(count));
        }
        *out++ = first;
        if (count <= exponent) {
            out = put(out, rest, static_cast<std::size_t>(count));
            out = put_zeros(out, exponent - count);
            return put(out, ".0", 2);
        }
        out = put(out, rest, static_cast<std::size_t>(exponent));
        *out++ = '.';
        return put(out, rest + exponent, static_cast<std::size_t>(count - exponent));
    }
    *out++ = first;
    if (count > 0) {
        *out++ = '.';
        out = put(out, rest, static_cast<std::size_t>(count));
    }
    *out++ = 'e';
    return std::to_chars(out, out + 8, exponent).ptr;
}

template <class Float>
char* write_text(char* out, Float value) {
    if (std::isnan(value)) return put(out, "NaN", 3);
    if (std::signbit(value)) *out++ = '-';
    if (std::isinf(value)) return put(out, "inf", 3);
    if (value == 0) return put(out, "0.0", 3);
    // Shortest round-trip digits in scientific form, "1.5e+16", "2.5e-07", "1e-05", laid out
    // again from where they stand.
    char scientific[32];
    const char* end = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                                    std::chars_format::scientific).ptr;
    const char* e = static_cast<const char*>(std::memchr(scientific, 'e', static_cast<std::size_t>(end - scientific)));
    const char* rest = scientific[1] == '.' ? scientific + 2 : scientific + 1;
    int exponent = 0;
    for (const char* at = e + 2; at < end; ++at) exponent = exponent * 10 + (*at - '0');
    return lay_out(out, scientific[0], rest, static_cast<int>(e - rest), e[1] == '-' ? -exponent : exponent);
}

template <class Float>
void append_text(std::string& out, Float value) {
    char text[max_float_text];
    out.append(text, static_cast<std::size_t>(write_text(text, value) - text));
}

}  // namespace

char* write_float_text(char* out, float value) { return write_text(out, value); }
char* write_float_text(char* out, double value) { return write_text(out, value); }
void append_float_text(std::string& out, float value) { append_text(out, value); }
void append_float_text(std::string& out, double value) { append_text(out, value); }

}  // namespace tiltwick
