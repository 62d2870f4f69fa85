#include "decode/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tiltwick {

namespace {

// Lays out shortest digits d1 d2 ... dk with decimal exponent e (value = d1.d2...dk x 10^e).
void lay_out(std::string& out, bool negative, std::string_view digits, int exponent, bool is_zero) {
    if (negative) out += '-';
    if (is_zero) {
        out += "0.0";
        return;
    }
    const int count = static_cast<int>(digits.size());
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else if (count <= exponent + 1) {
            out += digits;
            out.append(static_cast<std::size_t>(exponent + 1 - count), '0');
            out += ".0";
        } else {
            out += digits.substr(0, static_cast<std::size_t>(exponent + 1));
            out += '.';
            out += digits.substr(static_cast<std::size_t>(exponent + 1));
        }
        return;
    }
    out += digits[0];
    if (count > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += 'e';
    char exponent_text[8];
    const auto end = std::to_chars(exponent_text, exponent_text + sizeof exponent_text, exponent).ptr;
    out.append(exponent_text, end);
}

template <class Float>
void append_text(std::string& out, Float value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    const bool negative = std::signbit(value);
    if (std::isinf(value)) {
        out += negative ? "-inf" : "inf";
        return;
    }
    if (value == 0) {
        lay_out(out, negative, "0", 0, true);
        return;
    }
    // Shortest round-trip digits in scientific form, e.g. "1.5e+16" or "2.5e-07".
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific);
    const std::string_view scientific(text, static_cast<std::size_t>(result.ptr - text));
    const auto e_at = scientific.find('e');
    std::string digits;
    digits.reserve(24);
    for (char c : scientific.substr(0, e_at)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const auto exponent_text = scientific.substr(e_at + 1);
    const char* first = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
    std::from_chars(first, exponent_text.data() + exponent_text.size(), exponent);
    lay_out(out, negative, digits, exponent, false);
}

}  // namespace

void append_float_text(std::string& out, float value) { append_text(out, value); }
void append_float_text(std::string& out, double value) { append_text(out, value); }

}  // namespace tiltwick
