#pragma once
// The closed catalogue of readings: every data field the system decodes, declared once.
// Each alternative names itself, its field descriptor byte and its fields in wire order;
// decoding, the text form and the Python conversion all walk these declarations.

#include <cstdint>
#include <string_view>
#include <tuple>
#include <variant>

namespace tiltwick {

enum class ValidFlag : std::uint8_t { Invalid, Valid };

// One named member of a reading, in wire order. The member type decides the wire type:
// float is F32, double F64, std::uint16_t U16 and ValidFlag a U16 that must be 0 or 1.
template <class Owner, class Value>
struct Field {
    std::string_view name;
    Value Owner::*member;
    using value_type = Value;
};

// Field shapes shared by several alternatives.
struct Xyz {
    float x, y, z;
};
struct XyzValid {
    float x, y, z;
    ValidFlag valid;
};
struct Quaternion {
    float x, y, z, w;
};
struct QuaternionValid {
    float x, y, z, w;
    ValidFlag valid;
};
struct Euler {
    float roll, pitch, yaw;
};
struct EulerValid {
    float roll, pitch, yaw;
    ValidFlag valid;
};
struct Matrix {
    float m11, m12, m13, m21, m22, m23, m31, m32, m33;
};
struct MatrixValid {
    float m11, m12, m13, m21, m22, m23, m31, m32, m33;
    ValidFlag valid;
};
struct AmbientPressure {
    float ambient_pressure;
};
struct CorrelationTimestamp {
    double gps_time_of_week;
    std::uint16_t gps_week;
    std::uint16_t timestamp_flags;
};
struct StatusWords {
    std::uint16_t filter_state, dynamics_mode, status_flags;
};
struct WeekTime {
    double time_of_week;
    std::uint16_t week;
    ValidFlag valid_flags;
};
struct Altitude {
    float pressure_altitude;
    ValidFlag valid;
};
struct GravityMagnitude {
    float gravity_magnitude;
    ValidFlag valid;
};

template <class Shape>
inline constexpr auto fields_of = nullptr;

template <> inline constexpr auto fields_of<Xyz> =
    std::tuple{Field{"x", &Xyz::x}, Field{"y", &Xyz::y}, Field{"z", &Xyz::z}};
template <> inline constexpr auto fields_of<XyzValid> =
    std::tuple{Field{"x", &XyzValid::x}, Field{"y", &XyzValid::y}, Field{"z", &XyzValid::z},
               Field{"valid", &XyzValid::valid}};
template <> inline constexpr auto fields_of<Quaternion> =
    std::tuple{Field{"x", &Quaternion::x}, Field{"y", &Quaternion::y}, Field{"z", &Quaternion::z},
               Field{"w", &Quaternion::w}};
template <> inline constexpr auto fields_of<QuaternionValid> =
    std::tuple{Field{"x", &QuaternionValid::x}, Field{"y", &QuaternionValid::y},
               Field{"z", &QuaternionValid::z}, Field{"w", &QuaternionValid::w},
               Field{"valid", &QuaternionValid::valid}};
template <> inline constexpr auto fields_of<Euler> =
    std::tuple{Field{"roll", &Euler::roll}, Field{"pitch", &Euler::pitch}, Field{"yaw", &Euler::yaw}};
template <> inline constexpr auto fields_of<EulerValid> =
    std::tuple{Field{"roll", &EulerValid::roll}, Field{"pitch", &EulerValid::pitch},
               Field{"yaw", &EulerValid::yaw}, Field{"valid", &EulerValid::valid}};
template <> inline constexpr auto fields_of<Matrix> =
    std::tuple{Field{"m11", &Matrix::m11}, Field{"m12", &Matrix::m12}, Field{"m13", &Matrix::m13},
               Field{"m21", &Matrix::m21}, Field{"m22", &Matrix::m22}, Field{"m23", &Matrix::m23},
               Field{"m31", &Matrix::m31}, Field{"m32", &Matrix::m32}, Field{"m33", &Matrix::m33}};
template <> inline constexpr auto fields_of<MatrixValid> =
    std::tuple{Field{"m11", &MatrixValid::m11}, Field{"m12", &MatrixValid::m12},
               Field{"m13", &MatrixValid::m13}, Field{"m21", &MatrixValid::m21},
               Field{"m22", &MatrixValid::m22}, Field{"m23", &MatrixValid::m23},
               Field{"m31", &MatrixValid::m31}, Field{"m32", &MatrixValid::m32},
               Field{"m33", &MatrixValid::m33}, Field{"valid", &MatrixValid::valid}};
template <> inline constexpr auto fields_of<AmbientPressure> =
    std::tuple{Field{"ambient_pressure", &AmbientPressure::ambient_pressure}};
template <> inline constexpr auto fields_of<CorrelationTimestamp> =
    std::tuple{Field{"gps_time_of_week", &CorrelationTimestamp::gps_time_of_week},
               Field{"gps_week", &CorrelationTimestamp::gps_week},
               Field{"timestamp_flags", &CorrelationTimestamp::timestamp_flags}};
template <> inline constexpr auto fields_of<StatusWords> =
    std::tuple{Field{"filter_state", &StatusWords::filter_state},
               Field{"dynamics_mode", &StatusWords::dynamics_mode},
               Field{"status_flags", &StatusWords::status_flags}};
template <> inline constexpr auto fields_of<WeekTime> =
    std::tuple{Field{"time_of_week", &WeekTime::time_of_week}, Field{"week", &WeekTime::week},
               Field{"valid_flags", &WeekTime::valid_flags}};
template <> inline constexpr auto fields_of<Altitude> =
    std::tuple{Field{"pressure_altitude", &Altitude::pressure_altitude}, Field{"valid", &Altitude::valid}};
template <> inline constexpr auto fields_of<GravityMagnitude> =
    std::tuple{Field{"gravity_magnitude", &GravityMagnitude::gravity_magnitude},
               Field{"valid", &GravityMagnitude::valid}};

// A name long enough for any alternative, usable as a template argument.
struct AlternativeName {
    char text[32];
    template <std::size_t N>
    constexpr AlternativeName(const char (&literal)[N]) : text{} {
        static_assert(N <= sizeof(text));
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    constexpr std::string_view view() const { return std::string_view(text); }
};

// One catalogue entry: a field shape with the alternative's name and field descriptor byte.
template <class Shape, AlternativeName Name, std::uint8_t FieldDescriptor>
struct Alternative : Shape {
    using shape = Shape;
    static constexpr std::string_view name = Name.view();
    static constexpr std::uint8_t descriptor = FieldDescriptor;
    static constexpr const auto& fields = fields_of<Shape>;
};

// Sensor data set (0x80), in declaration order.
using ScaledAccVector = Alternative<Xyz, "ScaledAccVector", 0x04>;
using ScaledGyroVector = Alternative<Xyz, "ScaledGyroVector", 0x05>;
using ScaledMageVector = Alternative<Xyz, "ScaledMageVector", 0x06>;
using DeltaThetaVector = Alternative<Xyz, "DeltaThetaVector", 0x07>;
using DeltaVelocityVector = Alternative<Xyz, "DeltaVelocityVector", 0x08>;
using ScaledAmbientPressure = Alternative<AmbientPressure, "ScaledAmbientPressure", 0x17>;
using CFOrientationMatrix = Alternative<Matrix, "CFOrientationMatrix", 0x09>;
using CFQuaternion = Alternative<Quaternion, "CFQuaternion", 0x0A>;
using CFEulerAngles = Alternative<Euler, "CFEulerAngles", 0x0C>;
using CFStabilizedNorthVector = Alternative<Xyz, "CFStabilizedNorthVector", 0x10>;
using CFStabilizedUpVector = Alternative<Xyz, "CFStabilizedUpVector", 0x11>;
using GPSCorrelationTimestamp = Alternative<CorrelationTimestamp, "GPSCorrelationTimestamp", 0x12>;

using SensorReading =
    std::variant<ScaledAccVector, ScaledGyroVector, ScaledMageVector, DeltaThetaVector, DeltaVelocityVector,
                 ScaledAmbientPressure, CFOrientationMatrix, CFQuaternion, CFEulerAngles, CFStabilizedNorthVector,
                 CFStabilizedUpVector, GPSCorrelationTimestamp>;

// Estimation-filter data set (0x82), in declaration order.
using FilterStatus = Alternative<StatusWords, "FilterStatus", 0x10>;
using GPSTimestamp = Alternative<WeekTime, "GPSTimestamp", 0x11>;
using OrientationQuaternion = Alternative<QuaternionValid, "OrientationQuaternion", 0x03>;
using OrientationEuler = Alternative<EulerValid, "OrientationEuler", 0x05>;
using AttitudeUncertaintyEuler = Alternative<EulerValid, "AttitudeUncertaintyEuler", 0x0A>;
using AttitudeUncertaintyQuaternion = Alternative<QuaternionValid, "AttitudeUncertaintyQuaternion", 0x12>;
using OrientationMatrix = Alternative<MatrixValid, "OrientationMatrix", 0x04>;
using CompensatedAngularRate = Alternative<XyzValid, "CompensatedAngularRate", 0x0E>;
using GyroBias = Alternative<XyzValid, "GyroBias", 0x06>;
using GyroBiasUncertainty = Alternative<XyzValid, "GyroBiasUncertainty", 0x0B>;
using CompensatedAcceleration = Alternative<XyzValid, "CompensatedAcceleration", 0x1C>;
using LinearAcceleration = Alternative<XyzValid, "LinearAcceleration", 0x0D>;
using PressureAltitude = Alternative<Altitude, "PressureAltitude", 0x21>;
using GravityVector = Alternative<XyzValid, "GravityVector", 0x13>;
using WGS84LocalGravityMagnitude = Alternative<GravityMagnitude, "WGS84LocalGravityMagnitude", 0x0F>;

using EstimateReading =
    std::variant<FilterStatus, GPSTimestamp, OrientationQuaternion, OrientationEuler, AttitudeUncertaintyEuler,
                 AttitudeUncertaintyQuaternion, OrientationMatrix, CompensatedAngularRate, GyroBias,
                 GyroBiasUncertainty, CompensatedAcceleration, LinearAcceleration, PressureAltitude, GravityVector,
                 WGS84LocalGravityMagnitude>;

// A decoded data field: Sensor (set 0x80) or Estimate (set 0x82).
struct Reading : std::variant<SensorReading, EstimateReading> {
    using variant::variant;
};

constexpr std::string_view set_name(const SensorReading&) { return "Sensor"; }
constexpr std::string_view set_name(const EstimateReading&) { return "Estimate"; }

// The name of the reading's alternative, e.g. "ScaledAccVector".
inline std::string_view alternative_name(const Reading& reading) {
    return std::visit([](const auto& set) { return std::visit([](const auto& alt) { return alt.name; }, set); },
                      reading);
}

// Calls visit(field, value) for every field of an alternative, in wire order.
template <class Alt, class Visitor>
constexpr void for_each_field(const Alt& alternative, Visitor&& visit) {
    std::apply([&](const auto&... field) { (visit(field, alternative.*(field.member)), ...); }, Alt::fields);
}

}  // namespace tiltwick
