// The decimal text of floats and doubles, for arbitrary bit patterns.
//
// Input: the first 4 bytes are a float's bits, the first 8 a double's (host byte order); a
// shorter input tests what it can.
//
// Properties: NaN is "NaN" whatever its sign and payload, infinities "inf" and "-inf"; any other
// value's text reads back (strtof or strtod) to exactly the same bits, -0.0 included. Its layout:
// a leading '-' exactly for negative values; for 0 and for texts whose leading digit stands for
// 1e-4 up to below 1e16, plain decimal with digits on both sides of the point (no exponent);
// otherwise scientific, d[.ddd]e[-]x with no '+' and no leading zeros in the exponent. The digits
// are the shortest that read back: no trailing zero after the point (except "x.0"), at most 9
// significant digits for a float and 17 for a double, and no text with one digit fewer reads
// back to the same value.

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

#include "decode/float_text.hpp"
#include "fuzz_support.hpp"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool all_digits(std::string_view text) {
    for (char c : text) {
        if (!is_digit(c)) return false;
    }
    return true;
}

template <class Float>
Float parse(const std::string& text, bool& whole) {
    char* end = nullptr;
    errno = 0;
    Float value;
    if constexpr (std::is_same_v<Float, float>) value = std::strtof(text.c_str(), &end);
    else value = std::strtod(text.c_str(), &end);
    whole = end == text.c_str() + text.size();
    return value;
}

template <class Float>
bool reads_back(const std::string& text, Float value) {
    using Bits = std::conditional_t<std::is_same_v<Float, float>, std::uint32_t, std::uint64_t>;
    bool whole = false;
    const Float back = parse<Float>(text, whole);
    return whole && std::bit_cast<Bits>(back) == std::bit_cast<Bits>(value);
}

// Significant digits and the decimal exponent of the first one, from either layout.
struct Decimal {
    std::string digits;  // without leading or trailing zeros
    int exponent;        // value = d1.d2d3... x 10^exponent
};

Decimal plain_decimal(std::string_view body) {
    const auto point = body.find('.');
    std::string all;
    for (char c : body) {
        if (c != '.') all += c;
    }
    const auto first = all.find_first_not_of('0');
    FUZZ_CHECK(first != std::string::npos);
    const auto last = all.find_last_not_of('0');
    return {all.substr(first, last - first + 1), static_cast<int>(point) - static_cast<int>(first) - 1};
}

// If the shortest text has k > 1 digits, neither neighbouring (k-1)-digit decimal may read back.
template <class Float>
void check_shortest(const Decimal& decimal, Float value, bool negative) {
    const std::size_t k = decimal.digits.size();
    if (k < 2) return;
    const std::string shorter = decimal.digits.substr(0, k - 1);
    std::string up = shorter;  // shorter + 1 in its last place
    int i = static_cast<int>(up.size()) - 1;
    while (i >= 0 && up[static_cast<std::size_t>(i)] == '9') up[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) up.insert(up.begin(), '1');
    else ++up[static_cast<std::size_t>(i)];
    const int scale = decimal.exponent - static_cast<int>(k) + 2;  // exponent of the last kept digit
    for (const auto& candidate : {shorter, up}) {
        const std::string text = (negative ? "-" : "") + candidate + "e" + std::to_string(scale);
        FUZZ_CHECK(!reads_back(text, value));
    }
}

template <class Float>
void check(Float value) {
    constexpr std::size_t max_digits = std::is_same_v<Float, float> ? 9 : 17;
    std::string text;
    tiltwick::append_float_text(text, value);
    if (std::isnan(value)) {
        FUZZ_CHECK(text == "NaN");
        return;
    }
    if (std::isinf(value)) {
        FUZZ_CHECK(text == (value < 0 ? "-inf" : "inf"));
        return;
    }
    FUZZ_CHECK(reads_back(text, value));

    const bool negative = std::signbit(value);
    std::string_view body = text;
    FUZZ_CHECK((body.front() == '-') == negative);
    if (negative) body.remove_prefix(1);
    FUZZ_CHECK(body.find('+') == std::string_view::npos);
    if (value == 0) {
        FUZZ_CHECK(body == "0.0");
        return;
    }

    const auto e = body.find('e');
    Decimal decimal;
    if (e == std::string_view::npos) {
        const auto point = body.find('.');
        FUZZ_CHECK(point != std::string_view::npos && point > 0 && point + 1 < body.size());
        const auto whole = body.substr(0, point);
        const auto fraction = body.substr(point + 1);
        FUZZ_CHECK(all_digits(whole) && all_digits(fraction));
        FUZZ_CHECK(whole == "0" || whole.front() != '0');
        FUZZ_CHECK(fraction == "0" || fraction.back() != '0');
        decimal = plain_decimal(body);
        FUZZ_CHECK(decimal.exponent >= -4 && decimal.exponent < 16);
    } else {
        const auto mantissa = body.substr(0, e);
        auto exponent_text = body.substr(e + 1);
        FUZZ_CHECK(!mantissa.empty() && is_digit(mantissa[0]) && mantissa[0] != '0');
        if (mantissa.size() > 1) {
            FUZZ_CHECK(mantissa[1] == '.' && mantissa.size() > 2);
            FUZZ_CHECK(all_digits(mantissa.substr(2)) && mantissa.back() != '0');
        }
        const bool exponent_negative = !exponent_text.empty() && exponent_text.front() == '-';
        if (exponent_negative) exponent_text.remove_prefix(1);
        FUZZ_CHECK(!exponent_text.empty() && all_digits(exponent_text) && exponent_text.front() != '0');
        FUZZ_CHECK(exponent_text.size() <= 3);
        int exponent = std::stoi(std::string(exponent_text));
        if (exponent_negative) exponent = -exponent;
        FUZZ_CHECK(exponent < -4 || exponent >= 16);
        decimal.digits = std::string(1, mantissa[0]);
        if (mantissa.size() > 2) decimal.digits += mantissa.substr(2);
        decimal.exponent = exponent;
    }
    FUZZ_CHECK(decimal.digits.size() <= max_digits);
    check_shortest(decimal, value, negative);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 4) {
        std::uint32_t bits;
        std::memcpy(&bits, data, 4);
        check(std::bit_cast<float>(bits));
    }
    if (size >= 8) {
        std::uint64_t bits;
        std::memcpy(&bits, data, 8);
        check(std::bit_cast<double>(bits));
    }
    return 0;
}
