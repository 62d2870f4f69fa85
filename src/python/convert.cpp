#include "python/convert.hpp"

#include <tuple>
#include <type_traits>
#include <utility>

namespace tiltwick::py {

namespace {

// Every key and fixed value the conversions use, interned once when the module is created and
// kept for the life of the process; the conversions themselves create no strings.
template <class Shape>
struct ShapeKeys {
    static constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(fields_of<Shape>)>>;
    static inline PyObject* keys[count] = {};
};
template <class Alt>
struct AlternativeKey {
    static inline PyObject* key = nullptr;
};
template <class SetReading>
struct TypeValue {
    static inline PyObject* value = nullptr;  // "sensor" or "estimate"
};
PyObject* type_key = nullptr;
PyObject* validity_texts[2] = {};  // indexed by ValidFlag: "Invalid", "Valid"

bool intern(PyObject*& slot, std::string_view text) {
    if (slot != nullptr) return true;
    slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (slot != nullptr) PyUnicode_InternInPlace(&slot);
    return slot != nullptr;
}

template <class Alt>
bool intern_alternative() {
    using Keys = ShapeKeys<typename Alt::shape>;
    std::size_t i = 0;
    bool complete = intern(AlternativeKey<Alt>::key, Alt::name);
    std::apply([&](const auto&... field) { ((complete = complete && intern(Keys::keys[i++], field.name)), ...); },
               Alt::fields);
    return complete;
}

template <class SetReading>
bool intern_set() {
    return intern(TypeValue<SetReading>::value, DataSetOf<SetReading>::value.type) &&
           []<std::size_t... I>(std::index_sequence<I...>) {
               return (intern_alternative<std::variant_alternative_t<I, SetReading>>() && ...);
           }(std::make_index_sequence<std::variant_size_v<SetReading>>{});
}

template <class Value>
Owned value_to_python(Value value) {
    if constexpr (std::is_same_v<Value, float>) {
        return Owned::steal(PyFloat_FromDouble(static_cast<double>(value)));  // widened exactly
    } else if constexpr (std::is_same_v<Value, double>) {
        return Owned::steal(PyFloat_FromDouble(value));
    } else if constexpr (std::is_same_v<Value, std::uint16_t>) {
        return Owned::steal(PyLong_FromLong(value));
    } else {
        static_assert(std::is_same_v<Value, ValidFlag>);
        return Owned::borrow(validity_texts[static_cast<std::size_t>(value)]);
    }
}

template <class Alt>
Owned alternative_to_python(const Alt& alternative) {
    PyObject* const* keys = ShapeKeys<typename Alt::shape>::keys;
    Owned dict = Owned::steal(PyDict_New());
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

template <class Element, class Convert>
Owned list_to_python(std::vector<Element> elements, Convert convert) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        Owned item = convert(std::move(elements[i]));
        if (!item) return Owned();  // releases the list and what it holds so far
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace

bool intern_conversion_names() {
    return intern(type_key, "type") && intern(validity_texts[0], "Invalid") && intern(validity_texts[1], "Valid") &&
           intern_set<SensorReading>() && intern_set<EstimateReading>();
}

Owned reading_to_python(const Reading& reading) {
    return visit_alternative(reading, [](const auto& alternative, const DataSet&) {
        return alternative_to_python(alternative);
    });
}

Owned readings_to_python(std::vector<Reading> readings) {
    return list_to_python(std::move(readings), [](Reading reading) { return reading_to_python(reading); });
}

Owned packet_map_to_python(PacketMap map) {
    Owned dict = Owned::steal(PyDict_New());
    if (!dict || map.empty()) return dict;
    PyObject* type = map.set().descriptor_set == DataSetOf<SensorReading>::value.descriptor_set
                         ? TypeValue<SensorReading>::value
                         : TypeValue<EstimateReading>::value;
    if (PyDict_SetItem(dict.get(), type_key, type) != 0) return Owned();
    for (const auto& reading : map.readings()) {
        const bool added = visit_alternative(reading, [&](const auto& alternative, const DataSet&) {
            Owned value = alternative_to_python(alternative);
            return value && PyDict_SetItem(dict.get(), AlternativeKey<std::remove_cvref_t<decltype(alternative)>>::key,
                                           value.get()) == 0;
        });
        if (!added) return Owned();
    }
    return dict;
}

Owned queue_entry_to_python(QueueEntry entry) {
    Owned timestamp = Owned::steal(PyLong_FromUnsignedLongLong(entry.timestamp_ms));
    if (!timestamp) return timestamp;
    Owned packet = packet_map_to_python(std::move(entry.packet));
    if (!packet) return packet;
    return Owned::steal(PyTuple_Pack(2, timestamp.get(), packet.get()));
}

Owned queue_entries_to_python(std::vector<QueueEntry> entries) {
    return list_to_python(std::move(entries), [](QueueEntry entry) { return queue_entry_to_python(std::move(entry)); });
}

}  // namespace tiltwick::py
