// The Python class BufferedAHRSClient around the native buffered client.

#include <array>

#include "client/buffered_client.hpp"
#include "python/arguments.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/module_parts.hpp"

namespace tiltwick::py {

namespace {

PyTypeObject* type_cache = nullptr;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* parameters[] = {"serial_device", "baud_rate", "buffer_size", "verbose"};
    static constexpr Signature signature{"BufferedAHRSClient.__new__", parameters};
    std::array<PyObject*, 4> bound;
    if (!bind(signature, args, kwargs, bound)) return nullptr;
    std::string serial_device;
    std::uint32_t baud_rate = 0;
    std::uint32_t buffer_size = 0;
    bool verbose = false;
    if (!extract_text(bound[0], parameters[0], serial_device) || !extract_u32(bound[1], parameters[1], baud_rate) ||
        !extract_u32(bound[2], parameters[2], buffer_size) || !extract_bool(bound[3], parameters[3], verbose)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto started = BufferedAHRSClient::start(std::move(serial_device), baud_rate, buffer_size, verbose);
        if (!started) {
            if (const auto* spawn = std::get_if<SpawnFailure>(&started.error())) {
                return raise_internal_failure("failed to spawn thread: " + spawn->error.diagnostic_text());
            }
            return PyErr_NoMemory();
        }
        return new_instance(type, std::move(*started));
    });
}

PyObject* take(PyObject* self, PyObject*) {
    return with_native<BufferedAHRSClient>(self, [](BufferedAHRSClient& client) {
        return queue_entries_to_python(client.take()).release();
    });
}

PyMethodDef methods[] = {
    {"take", take, METH_NOARGS, "take($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

ClassDefinition definition{
    "builtins.BufferedAHRSClient",
    "BufferedAHRSClient(serial_device, baud_rate, buffer_size, verbose)\n--\n\n",
    sizeof(Instance<BufferedAHRSClient>),
    construct,
    dealloc_instance<BufferedAHRSClient>,
    methods,
};

}  // namespace

PyTypeObject* buffered_client_type() { return class_type(definition, type_cache); }

}  // namespace tiltwick::py
