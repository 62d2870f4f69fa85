// The Python class AHRSClient around the native synchronous client.

#include <array>

#include "client/ahrs_client.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/module_parts.hpp"

namespace tiltwick::py {

namespace {

PyTypeObject* type_cache = nullptr;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature signature{"AHRSClient.__new__", {}};
    if (!bind(signature, args, kwargs, {})) return nullptr;
    return guarded([&] { return new_instance(type, AHRSClient{}); });
}

PyObject* open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {"serial_device", "baud_rate"};
    static constexpr Signature signature{"AHRSClient.open", parameters};
    std::array<PyObject*, 2> bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return with_native<AHRSClient>(self, [&](AHRSClient& client) -> PyObject* {
        std::string serial_device;
        std::uint32_t baud_rate = 0;
        if (!extract_text(bound[0], parameters[0], serial_device) ||
            !extract_u32(bound[1], parameters[1], baud_rate)) {
            return nullptr;
        }
        if (auto opened = client.open(serial_device, baud_rate); !opened) return raise_value_error(opened.error());
        Py_RETURN_NONE;
    });
}

PyObject* open_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {"filename"};
    static constexpr Signature signature{"AHRSClient.open_file", parameters};
    std::array<PyObject*, 1> bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    return with_native<AHRSClient>(self, [&](AHRSClient& client) -> PyObject* {
        std::string filename;
        if (!extract_text(bound[0], parameters[0], filename)) return nullptr;
        if (auto opened = client.open_file(filename); !opened) return raise_value_error(opened.error());
        Py_RETURN_NONE;
    });
}

PyObject* configure(PyObject* self, PyObject*) {
    return with_native<AHRSClient>(self, [](AHRSClient& client) -> PyObject* {
        if (auto sent = client.configure(); !sent) return raise_internal_failure(sent.error().text);
        Py_RETURN_NONE;
    });
}

PyObject* start_stream(PyObject* self, PyObject*) {
    return with_native<AHRSClient>(self, [](AHRSClient& client) -> PyObject* {
        client.start_stream();
        Py_RETURN_NONE;
    });
}

PyObject* read(PyObject* self, PyObject*) {
    return with_native<AHRSClient>(self, [](AHRSClient& client) -> PyObject* {
        auto readings = client.read_packet();
        if (!readings) return PyDict_New();  // read() reports no errors: nothing arrived
        return packet_map_to_python(AHRSClient::process_readings(std::move(*readings))).release();
    });
}

PyObject* read_packet(PyObject* self, PyObject*) {
    return with_native<AHRSClient>(self, [](AHRSClient& client) -> PyObject* {
        auto readings = client.read_packet();
        if (!readings) return raise_value_error(readings.error());
        return readings_to_python(std::move(*readings)).release();
    });
}

PyMethodDef methods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open)), METH_FASTCALL | METH_KEYWORDS,
     "open($self, serial_device, baud_rate)\n--\n\n"},
    {"open_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_file)),
     METH_FASTCALL | METH_KEYWORDS, "open_file($self, filename)\n--\n\n"},
    {"configure", configure, METH_NOARGS, "configure($self)\n--\n\n"},
    {"start_stream", start_stream, METH_NOARGS, "start_stream($self)\n--\n\n"},
    {"read", read, METH_NOARGS, "read($self)\n--\n\n"},
    {"read_packet", read_packet, METH_NOARGS, "read_packet($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

ClassDefinition definition{
    "builtins.AHRSClient", "AHRSClient()\n--\n\n", sizeof(Instance<AHRSClient>), construct,
    dealloc_instance<AHRSClient>, methods,
};

}  // namespace

PyTypeObject* ahrs_client_type() { return class_type(definition, type_cache); }

}  // namespace tiltwick::py
