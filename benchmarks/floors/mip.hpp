#pragma once
// What the floor programs share: the descriptor sets, the checksum, the catalogue of readings
// as a table, and a table-driven field decoder. Written for the floors alone, straightforward
// and without heap allocation; the module's own code is not used here.

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace floors {

enum class Wire : std::uint8_t { F32, F64, U16, VF };

constexpr std::size_t wire_size(Wire wire) {
    return wire == Wire::F64 ? 8 : wire == Wire::F32 ? 4 : 2;
}

constexpr std::size_t max_values = 10;

struct Shape {
    std::size_t count;
    std::array<std::string_view, max_values> keys;
    std::array<Wire, max_values> wires;

    constexpr std::size_t bytes() const {
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) total += wire_size(wires[i]);
        return total;
    }
};

using enum Wire;
inline constexpr Shape xyz{3, {"x", "y", "z"}, {F32, F32, F32}};
inline constexpr Shape xyz_valid{4, {"x", "y", "z", "valid"}, {F32, F32, F32, VF}};
inline constexpr Shape quaternion{4, {"x", "y", "z", "w"}, {F32, F32, F32, F32}};
inline constexpr Shape quaternion_valid{5, {"x", "y", "z", "w", "valid"}, {F32, F32, F32, F32, VF}};
inline constexpr Shape euler{3, {"roll", "pitch", "yaw"}, {F32, F32, F32}};
inline constexpr Shape euler_valid{4, {"roll", "pitch", "yaw", "valid"}, {F32, F32, F32, VF}};
inline constexpr Shape matrix{9,
                              {"m11", "m12", "m13", "m21", "m22", "m23", "m31", "m32", "m33"},
                              {F32, F32, F32, F32, F32, F32, F32, F32, F32}};
inline constexpr Shape matrix_valid{10,
                                    {"m11", "m12", "m13", "m21", "m22", "m23", "m31", "m32", "m33", "valid"},
                                    {F32, F32, F32, F32, F32, F32, F32, F32, F32, VF}};
inline constexpr Shape pressure{1, {"ambient_pressure"}, {F32}};
inline constexpr Shape correlation{3, {"gps_time_of_week", "gps_week", "timestamp_flags"}, {F64, U16, U16}};
inline constexpr Shape status{3, {"filter_state", "dynamics_mode", "status_flags"}, {U16, U16, U16}};
inline constexpr Shape week_time{3, {"time_of_week", "week", "valid_flags"}, {F64, U16, VF}};
inline constexpr Shape altitude{2, {"pressure_altitude", "valid"}, {F32, VF}};
inline constexpr Shape gravity{2, {"gravity_magnitude", "valid"}, {F32, VF}};

constexpr std::uint8_t sensor_set = 0x80;
constexpr std::uint8_t estimate_set = 0x82;

struct Alternative {
    std::uint8_t set;
    std::uint8_t descriptor;
    std::string_view name;
    const Shape* shape;
};

inline constexpr std::array<Alternative, 27> catalogue{{
    {sensor_set, 0x04, "ScaledAccVector", &xyz},
    {sensor_set, 0x05, "ScaledGyroVector", &xyz},
    {sensor_set, 0x06, "ScaledMageVector", &xyz},
    {sensor_set, 0x07, "DeltaThetaVector", &xyz},
    {sensor_set, 0x08, "DeltaVelocityVector", &xyz},
    {sensor_set, 0x17, "ScaledAmbientPressure", &pressure},
    {sensor_set, 0x09, "CFOrientationMatrix", &matrix},
    {sensor_set, 0x0A, "CFQuaternion", &quaternion},
    {sensor_set, 0x0C, "CFEulerAngles", &euler},
    {sensor_set, 0x10, "CFStabilizedNorthVector", &xyz},
    {sensor_set, 0x11, "CFStabilizedUpVector", &xyz},
    {sensor_set, 0x12, "GPSCorrelationTimestamp", &correlation},
    {estimate_set, 0x10, "FilterStatus", &status},
    {estimate_set, 0x11, "GPSTimestamp", &week_time},
    {estimate_set, 0x03, "OrientationQuaternion", &quaternion_valid},
    {estimate_set, 0x05, "OrientationEuler", &euler_valid},
    {estimate_set, 0x0A, "AttitudeUncertaintyEuler", &euler_valid},
    {estimate_set, 0x12, "AttitudeUncertaintyQuaternion", &quaternion_valid},
    {estimate_set, 0x04, "OrientationMatrix", &matrix_valid},
    {estimate_set, 0x0E, "CompensatedAngularRate", &xyz_valid},
    {estimate_set, 0x06, "GyroBias", &xyz_valid},
    {estimate_set, 0x0B, "GyroBiasUncertainty", &xyz_valid},
    {estimate_set, 0x1C, "CompensatedAcceleration", &xyz_valid},
    {estimate_set, 0x0D, "LinearAcceleration", &xyz_valid},
    {estimate_set, 0x21, "PressureAltitude", &altitude},
    {estimate_set, 0x13, "GravityVector", &xyz_valid},
    {estimate_set, 0x0F, "WGS84LocalGravityMagnitude", &gravity},
}};

// The alternative of each field descriptor byte within one set, or -1.
struct Lookup {
    std::array<std::int8_t, 256> sensor{};
    std::array<std::int8_t, 256> estimate{};
};

constexpr Lookup make_lookup() {
    Lookup lookup;
    lookup.sensor.fill(-1);
    lookup.estimate.fill(-1);
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        auto& table = catalogue[i].set == sensor_set ? lookup.sensor : lookup.estimate;
        table[catalogue[i].descriptor] = static_cast<std::int8_t>(i);
    }
    return lookup;
}

inline constexpr Lookup lookup = make_lookup();

// The names of the sixteen descriptor sets; empty for every other byte.
constexpr std::array<std::string_view, 256> make_set_names() {
    std::array<std::string_view, 256> names{};
    names[0x01] = "CommandBase";
    names[0x0C] = "Command3DM";
    names[0x0D] = "CommandNav";
    names[0x0E] = "CommandGNSS";
    names[0x0F] = "CommandRTK";
    names[0x7F] = "CommandSys";
    names[0x80] = "DataSensor";
    names[0x81] = "DataGNSS";
    names[0x82] = "DataEstimationFilter";
    names[0x90] = "DataDisplacement";
    names[0x91] = "DataGNSS1";
    names[0x92] = "DataGNSS2";
    names[0x93] = "DataGNSS3";
    names[0x94] = "DataGNSS4";
    names[0x95] = "DataGNSS5";
    names[0xA0] = "DataSystem";
    return names;
}

inline constexpr std::array<std::string_view, 256> set_names = make_set_names();

// The Fletcher sums after the two sync bytes, then updated by every later byte.
struct Checksum {
    std::uint8_t a = 0xDA;
    std::uint8_t b = 0x4F;

    void update(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            a = static_cast<std::uint8_t>(a + data[i]);
            b = static_cast<std::uint8_t>(b + a);
        }
    }
    std::uint16_t value() const { return static_cast<std::uint16_t>(a << 8 | b); }
};

// One decoded field: its alternative and its values in field order. F32 values are held
// widened (exactly), U16 and validity words as their integer values.
struct Reading {
    std::uint8_t alternative;
    std::array<double, max_values> values;
};

// At most 42 fields of six bytes or more fit in a 255-byte payload.
constexpr std::size_t max_readings = 64;

inline std::uint32_t big32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Decodes the fields of one payload into `out`; returns how many decoded.
inline std::size_t decode_payload(std::uint8_t set, const std::uint8_t* payload, std::size_t size, Reading* out) {
    const std::int8_t* table = set == sensor_set ? lookup.sensor.data()
                               : set == estimate_set ? lookup.estimate.data()
                                                     : nullptr;
    if (table == nullptr) return 0;
    std::size_t count = 0;
    for (std::size_t offset = 0; offset < size;) {
        const std::size_t length = payload[offset] == 0 ? 1 : payload[offset];
        const std::size_t end = offset + length < size ? offset + length : size;
        const std::size_t body = end - offset - 1;  // descriptor byte and data
        if (body > 0) {
            const std::int8_t index = table[payload[offset + 1]];
            if (index >= 0 && body - 1 >= catalogue[index].shape->bytes()) {
                const Shape& shape = *catalogue[index].shape;
                const std::uint8_t* p = payload + offset + 2;
                Reading& reading = out[count];
                reading.alternative = static_cast<std::uint8_t>(index);
                bool good = true;
                for (std::size_t i = 0; i < shape.count; ++i) {
                    switch (shape.wires[i]) {
                        case F32: {
                            const std::uint32_t bits = big32(p);
                            float value;
                            std::memcpy(&value, &bits, sizeof value);
                            reading.values[i] = value;
                            p += 4;
                            break;
                        }
                        case F64: {
                            const std::uint64_t bits = std::uint64_t{big32(p)} << 32 | big32(p + 4);
                            double value;
                            std::memcpy(&value, &bits, sizeof value);
                            reading.values[i] = value;
                            p += 8;
                            break;
                        }
                        case U16:
                        case VF: {
                            const unsigned word = static_cast<unsigned>(p[0] << 8 | p[1]);
                            if (shape.wires[i] == VF && word > 1) good = false;
                            reading.values[i] = word;
                            p += 2;
                            break;
                        }
                    }
                }
                if (good) ++count;
            }
        }
        offset += length;
    }
    return count;
}

// Writes the whole of `data`, as the module does for each diagnostic and text line.
inline void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The readings of one packet by alternative, as the buffered client queues them: the kind of
// the packet (0 for no readings) and one entry per alternative, in the order first seen, a
// later reading of an alternative replacing the earlier one in place.
struct PacketMap {
    static constexpr std::size_t capacity = 15;  // the alternatives of the larger set

    std::uint8_t set = 0;
    std::uint8_t count = 0;
    std::array<Reading, capacity> entries;

    void fold(const Reading* readings, std::size_t size) {
        std::array<std::int8_t, catalogue.size()> slot;
        slot.fill(-1);
        for (std::size_t i = 0; i < size; ++i) {
            const Reading& reading = readings[i];
            set = catalogue[reading.alternative].set;
            std::int8_t& at = slot[reading.alternative];
            if (at < 0) at = static_cast<std::int8_t>(count++);
            entries[static_cast<std::size_t>(at)] = reading;
        }
    }
};

}  // namespace floors
