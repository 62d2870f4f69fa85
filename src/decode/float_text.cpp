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

// Lays out the shortest digits d1 d2 ... dk with decimal exponent e (value = d1.d2...dk x 10^e).
char* lay_out(char* out, const char* digits, int count, int exponent) {
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out = put(out, "0.", 2);
            out = put_zeros(out, -exponent - 1);
            return put(out, digits, static_cast<std::size_t>(count));
        }
        if (count <= exponent + 1) {
            out = put(out, digits, static_cast<std::size_t>(count));
            out = put_zeros(out, exponent + 1 - count);
            return put(out, ".0", 2);
        }
        out = put(out, digits, static_cast<std::size_t>(exponent + 1));
        *out++ = '.';
        return put(out, digits + exponent + 1, static_cast<std::size_t>(count - exponent - 1));
    }
    *out++ = digits[0];
    if (count > 1) {
        *out++ = '.';
        out = put(out, digits + 1, static_cast<std::size_t>(count - 1));
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
    // Shortest round-trip digits in scientific form: "1.5e+16", "2.5e-07", "1e-05".
    char scientific[32];
    const char* end = std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                                    std::chars_format::scientific).ptr;
    char digits[20];
    int count = 0;
    const char* at = scientific;
    for (; *at != 'e'; ++at) {
        if (*at != '.') digits[count++] = *at;
    }
    const bool negative_exponent = at[1] == '-';
    int exponent = 0;
    for (at += 2; at < end; ++at) exponent = exponent * 10 + (*at - '0');
    return lay_out(out, digits, count, negative_exponent ? -exponent : exponent);
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
