#pragma once
// The closed catalogue of readings: every data field the system decodes, declared once.
// Each alternative names itself, its field descriptor byte and its fields in wire order;
// decoding, the text form and the Python conversion all walk these declarations.

#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
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
struct Quaternion {
    float x, y, z, w;
};
struct Euler {
    float roll, pitch, yaw;
};
struct Matrix {
    float m11, m12, m13, m21, m22, m23, m31, m32, m33;
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
};
struct GravityMagnitude {
    float gravity_magnitude;
};

// A shape followed on the wire by a validity word, as in most estimation-filter fields.
template <class Shape>
struct WithValid : Shape {
    ValidFlag valid;
};

template <class Shape>
inline constexpr auto fields_of = nullptr;

template <> inline constexpr auto fields_of<Xyz> =
    std::tuple{Field{"x", &Xyz::x}, Field{"y", &Xyz::y}, Field{"z", &Xyz::z}};
template <> inline constexpr auto fields_of<Quaternion> =
    std::tuple{Field{"x", &Quaternion::x}, Field{"y", &Quaternion::y}, Field{"z", &Quaternion::z},
               Field{"w", &Quaternion::w}};
template <> inline constexpr auto fields_of<Euler> =
    std::tuple{Field{"roll", &Euler::roll}, Field{"pitch", &Euler::pitch}, Field{"yaw", &Euler::yaw}};
template <> inline constexpr auto fields_of<Matrix> =
    std::tuple{Field{"m11", &Matrix::m11}, Field{"m12", &Matrix::m12}, Field{"m13", &Matrix::m13},
               Field{"m21", &Matrix::m21}, Field{"m22", &Matrix::m22}, Field{"m23", &Matrix::m23},
               Field{"m31", &Matrix::m31}, Field{"m32", &Matrix::m32}, Field{"m33", &Matrix::m33}};
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
    std::tuple{Field{"pressure_altitude", &Altitude::pressure_altitude}};
template <> inline constexpr auto fields_of<GravityMagnitude> =
    std::tuple{Field{"gravity_magnitude", &GravityMagnitude::gravity_magnitude}};
// The shape's fields (their members reach the derived struct), then "valid".
template <class Shape>
inline constexpr auto fields_of<WithValid<Shape>> =
    std::tuple_cat(fields_of<Shape>, std::tuple{Field{"valid", &WithValid<Shape>::valid}});

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
using OrientationQuaternion = Alternative<WithValid<Quaternion>, "OrientationQuaternion", 0x03>;
using OrientationEuler = Alternative<WithValid<Euler>, "OrientationEuler", 0x05>;
using AttitudeUncertaintyEuler = Alternative<WithValid<Euler>, "AttitudeUncertaintyEuler", 0x0A>;
using AttitudeUncertaintyQuaternion = Alternative<WithValid<Quaternion>, "AttitudeUncertaintyQuaternion", 0x12>;
using OrientationMatrix = Alternative<WithValid<Matrix>, "OrientationMatrix", 0x04>;
using CompensatedAngularRate = Alternative<WithValid<Xyz>, "CompensatedAngularRate", 0x0E>;
using GyroBias = Alternative<WithValid<Xyz>, "GyroBias", 0x06>;
using GyroBiasUncertainty = Alternative<WithValid<Xyz>, "GyroBiasUncertainty", 0x0B>;
using CompensatedAcceleration = Alternative<WithValid<Xyz>, "CompensatedAcceleration", 0x1C>;
using LinearAcceleration = Alternative<WithValid<Xyz>, "LinearAcceleration", 0x0D>;
using PressureAltitude = Alternative<WithValid<Altitude>, "PressureAltitude", 0x21>;
using GravityVector = Alternative<WithValid<Xyz>, "GravityVector", 0x13>;
using WGS84LocalGravityMagnitude = Alternative<WithValid<GravityMagnitude>, "WGS84LocalGravityMagnitude", 0x0F>;

using EstimateReading =
    std::variant<FilterStatus, GPSTimestamp, OrientationQuaternion, OrientationEuler, AttitudeUncertaintyEuler,
                 AttitudeUncertaintyQuaternion, OrientationMatrix, CompensatedAngularRate, GyroBias,
                 GyroBiasUncertainty, CompensatedAcceleration, LinearAcceleration, PressureAltitude, GravityVector,
                 WGS84LocalGravityMagnitude>;

// A decoded data field: Sensor (set 0x80) or Estimate (set 0x82).
using ReadingSets = std::variant<SensorReading, EstimateReading>;
struct Reading : ReadingSets {
    using variant::variant;
};

// A data set that carries readings: its descriptor set byte, the name the text form shows
// ("Sensor") and the type a packet map files ("sensor").
struct DataSet {
    std::uint8_t descriptor_set;
    std::string_view name;
    std::string_view type;
};

template <class SetReading>
struct DataSetOf;
template <>
struct DataSetOf<SensorReading> {
    static constexpr DataSet value{0x80, "Sensor", "sensor"};
};
template <>
struct DataSetOf<EstimateReading> {
    static constexpr DataSet value{0x82, "Estimate", "estimate"};
};

// Calls visit(alternative, data set) on the reading's alternative and the set it belongs to.
template <class Visitor>
decltype(auto) visit_alternative(const Reading& reading, Visitor&& visit) {
    return std::visit(
        [&](const auto& set) -> decltype(auto) {
            constexpr const DataSet& data_set = DataSetOf<std::remove_cvref_t<decltype(set)>>::value;
            return std::visit([&](const auto& alternative) -> decltype(auto) { return visit(alternative, data_set); },
                              set);
        },
        static_cast<const ReadingSets&>(reading));
}

// The name of the reading's alternative, e.g. "ScaledAccVector".
inline std::string_view alternative_name(const Reading& reading) {
    return visit_alternative(reading, [](const auto& alternative, const DataSet&) { return alternative.name; });
}

// Calls visit(field, value) for every field of an alternative, in wire order.
template <class Alt, class Visitor>
constexpr void for_each_field(const Alt& alternative, Visitor&& visit) {
    std::apply([&](const auto&... field) { (visit(field, alternative.*(field.member)), ...); }, Alt::fields);
}

}  // namespace tiltwick
