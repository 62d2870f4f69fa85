#include "decode/text_form.hpp"

#include <charconv>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "decode/float_text.hpp"

namespace tiltwick {

namespace {

char* put(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

template <class Value>
char* put_value(char* out, Value value) {
    if constexpr (std::is_floating_point_v<Value>) {
        return write_float_text(out, value);
    } else if constexpr (std::is_same_v<Value, ValidFlag>) {
        return put(out, value == ValidFlag::Valid ? std::string_view("Valid") : std::string_view("Invalid"));
    } else {
        return std::to_chars(out, out + 5, value).ptr;  // a U16: at most 65535
    }
}

// The most text one reading of an alternative can take: "Estimate(" + name + " { ", then per
// field its name, ": ", its value and ", ", then " })", and the ", " before the next reading.
template <class Alt>
constexpr std::size_t max_reading_text() {
    std::size_t size = std::string_view("Estimate(").size() + Alt::name.size() + 3 + 3 + 2;
    std::apply([&](const auto&... field) { ((size += field.name.size() + 2 + max_float_text + 2), ...); },
               Alt::fields);
    return size;
}

}  // namespace

void append_reading_text(std::string& out, const Reading& reading) {
    visit_alternative(reading, [&](const auto& alternative, const DataSet& set) {
        using Alt = std::remove_cvref_t<decltype(alternative)>;
        const std::size_t start = out.size();
        out.resize_and_overwrite(start + max_reading_text<Alt>(), [&](char* text, std::size_t) {
            char* at = put(text + start, set.name);
            *at++ = '(';
            at = put(at, Alt::name);
            at = put(at, " { ");
            bool first = true;
            for_each_field(alternative, [&](const auto& field, auto value) {
                if (!first) at = put(at, ", ");
                first = false;
                at = put(at, field.name);
                at = put(at, ": ");
                at = put_value(at, value);
            });
            at = put(at, " })");
            return static_cast<std::size_t>(at - text);
        });
    });
}

void append_readings_text(std::string& out, std::span<const Reading> readings) {
    out += '[';
    for (std::size_t i = 0; i < readings.size(); ++i) {
        if (i > 0) out += ", ";
        append_reading_text(out, readings[i]);
    }
    out += ']';
}

std::string readings_text(std::span<const Reading> readings) {
    std::string out;
    append_readings_text(out, readings);
    return out;
}

}  // namespace tiltwick
