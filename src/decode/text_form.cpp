#include "decode/text_form.hpp"

#include <charconv>
#include <type_traits>

#include "decode/float_text.hpp"

namespace tiltwick {

namespace {

template <class Value>
void append_value(std::string& out, Value value) {
    if constexpr (std::is_floating_point_v<Value>) {
        append_float_text(out, value);
    } else if constexpr (std::is_same_v<Value, ValidFlag>) {
        out += value == ValidFlag::Valid ? "Valid" : "Invalid";
    } else {
        char text[8];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        out.append(text, end);
    }
}

}  // namespace

void append_reading_text(std::string& out, const Reading& reading) {
    visit_alternative(reading, [&](const auto& alternative, const DataSet& set) {
        out += set.name;
        out += '(';
        out += alternative.name;
        out += " { ";
        bool first = true;
        for_each_field(alternative, [&](const auto& field, auto value) {
            if (!first) out += ", ";
            first = false;
            out += field.name;
            out += ": ";
            append_value(out, value);
        });
        out += " })";
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
