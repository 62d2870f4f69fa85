// parse_data_stream_py(filename): prints the readings of every packet of a recorded capture,
// one line per packet, and stops at the first packet that cannot be read.

#include <array>
#include <memory>

#include "link/buffered_file.hpp"
#include "link/diagnostics.hpp"
#include "link/mip_packet.hpp"
#include "link/file_descriptor.hpp"
#include "decode/text_form.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/module_parts.hpp"

namespace tiltwick::py {

namespace {

void print_end_of_file(const IoError& error) { print_err("End of file: " + error.short_text()); }

void dump_packets(BufferedFile& file) {
    if (auto offset = file.start_offset(); !offset) return print_end_of_file(offset.error());
    std::string line;
    std::vector<Reading> readings;  // reused from packet to packet
    for (;;) {
        auto packet = MipPacket::read_from(file);
        if (!packet) {
            const ParseError& error = packet.error();
            if (error.is_failure_before_sync()) {
                print_end_of_file(std::get<StreamFailure>(error.cause).error);
            } else {
                print_err("Error parsing packet from file: " + error.render());
            }
            return;
        }
        packet->to_sensor_readings_into(readings);
        line.clear();
        append_readings_text(line, readings);
        write_line_buffered(1, line);
    }
}

PyObject* parse_data_stream_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* parameters[] = {"filename"};
    static constexpr Signature signature{"parse_data_stream_py", parameters};
    std::array<PyObject*, 1> bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    std::string filename;
    if (!extract_text(bound[0], parameters[0], filename)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto fd = open_read_only(filename);
        if (!fd) {
            PyErr_SetString(PyExc_OSError, AHRSError::io(fd.error()).display().c_str());
            return nullptr;
        }
        auto file = std::make_unique<BufferedFile>(std::move(*fd));
        dump_packets(*file);
        Py_RETURN_NONE;
    });
}

PyMethodDef definition{"parse_data_stream_py",
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_data_stream_py)),
                       METH_FASTCALL | METH_KEYWORDS, "parse_data_stream_py(filename)\n--\n\n"};

}  // namespace

PyObject* new_parse_data_stream_function(PyObject* module, PyObject* module_name) {
    return PyCFunction_NewEx(&definition, module, module_name);
}

}  // namespace tiltwick::py
