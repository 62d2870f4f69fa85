#include "python/convert.hpp"

#include <tuple>
#include <type_traits>

namespace tiltwick::py {

namespace {

// Interned strings live for the life of the process: dict keys and the few fixed values
// are created once and shared by every conversion.
PyObject* intern(std::string_view text) {
    PyObject* string = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (string != nullptr) PyUnicode_InternInPlace(&string);
    return string;
}

PyObject* cached(PyObject*& slot, std::string_view text) {
    if (slot == nullptr) slot = intern(text);
    return slot;
}

// The field-name keys of one field shape, in field order.
template <class Shape>
PyObject* const* field_keys() {
    constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(fields_of<Shape>)>>;
    static PyObject* keys[count] = {};
    bool complete = true;
    std::size_t i = 0;
    std::apply([&](const auto&... field) { ((complete = complete && cached(keys[i++], field.name)), ...); },
               fields_of<Shape>);
    return complete ? keys : nullptr;
}

template <class Alt>
PyObject* alternative_key() {
    static PyObject* key = nullptr;
    return cached(key, Alt::name);
}

PyObject* valid_text(ValidFlag flag) {
    static PyObject* valid = nullptr;
    static PyObject* invalid = nullptr;
    return flag == ValidFlag::Valid ? cached(valid, "Valid") : cached(invalid, "Invalid");
}

template <class Value>
Owned value_to_python(Value value) {
    if constexpr (std::is_same_v<Value, float>) {
        return Owned(PyFloat_FromDouble(static_cast<double>(value)));  // widened exactly
    } else if constexpr (std::is_same_v<Value, double>) {
        return Owned(PyFloat_FromDouble(value));
    } else if constexpr (std::is_same_v<Value, std::uint16_t>) {
        return Owned(PyLong_FromLong(value));
    } else {
        static_assert(std::is_same_v<Value, ValidFlag>);
        return Owned::borrowed(valid_text(value));
    }
}

template <class Alt>
Owned alternative_to_python(const Alt& alternative) {
    PyObject* const* keys = field_keys<typename Alt::shape>();
    if (keys == nullptr) return Owned();
    Owned dict(PyDict_New());
    if (!dict) return dict;
    std::size_t i = 0;
    bool complete = true;
    for_each_field(alternative, [&](const auto&, auto value) {
        if (!complete) return;
        Owned object = value_to_python(value);
        complete = object && PyDict_SetItem(dict.get(), keys[i++], object.get()) == 0;
    });
    return complete ? std::move(dict) : Owned();
}

// The key under which a packet map files an entry: interned for the catalogue's names.
PyObject* entry_key(std::string_view key, const ReadingOrString& value) {
    if (const auto* reading = std::get_if<Reading>(&value)) {
        return std::visit(
            [](const auto& set) { return std::visit([](const auto& alt) { return alternative_key<std::remove_cvref_t<decltype(alt)>>(); }, set); },
            static_cast<const std::variant<SensorReading, EstimateReading>&>(*reading));
    }
    static PyObject* type_key = nullptr;
    if (key == "type") return cached(type_key, "type");
    return nullptr;
}

Owned string_to_python(const std::string& text) {
    static PyObject* sensor = nullptr;
    static PyObject* estimate = nullptr;
    if (text == "sensor") return Owned::borrowed(cached(sensor, "sensor"));
    if (text == "estimate") return Owned::borrowed(cached(estimate, "estimate"));
    return Owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class Element, class Convert>
Owned list_to_python(std::vector<Element> elements, Convert convert) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        Owned item = convert(std::move(elements[i]));
        if (!item) return Owned();  // releases the list and what it holds so far
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace

Owned reading_to_python(const Reading& reading) {
    return std::visit(
        [](const auto& set) { return std::visit([](const auto& alt) { return alternative_to_python(alt); }, set); },
        static_cast<const std::variant<SensorReading, EstimateReading>&>(reading));
}

Owned readings_to_python(std::vector<Reading> readings) {
    return list_to_python(std::move(readings), [](Reading reading) { return reading_to_python(reading); });
}

Owned packet_map_to_python(PacketMap map) {
    Owned dict(PyDict_New());
    if (!dict) return dict;
    for (auto& [key, value] : map.entries()) {
        Owned key_object = Owned::borrowed(entry_key(key, value));
        if (!key_object) {
            if (PyErr_Occurred()) return Owned();
            key_object = Owned(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
            if (!key_object) return Owned();
        }
        Owned value_object = std::holds_alternative<Reading>(value) ? reading_to_python(std::get<Reading>(value))
                                                                     : string_to_python(std::get<std::string>(value));
        if (!value_object || PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) != 0) return Owned();
    }
    return dict;
}

Owned queue_entry_to_python(QueueEntry entry) {
    Owned timestamp(PyLong_FromUnsignedLongLong(entry.timestamp_ms));
    if (!timestamp) return timestamp;
    Owned packet = packet_map_to_python(std::move(entry.packet));
    if (!packet) return packet;
    return Owned(PyTuple_Pack(2, timestamp.get(), packet.get()));
}

Owned queue_entries_to_python(std::vector<QueueEntry> entries) {
    return list_to_python(std::move(entries), [](QueueEntry entry) { return queue_entry_to_python(std::move(entry)); });
}

}  // namespace tiltwick::py
