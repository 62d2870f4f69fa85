#pragma once
// The one-line text form of a list of readings:
// [Sensor(ScaledAccVector { x: 0.01, y: -0.02, z: -1.0 }), Estimate(FilterStatus { ... })]

#include <span>
#include <string>

#include "decode/catalogue.hpp"

namespace tiltwick {

void append_reading_text(std::string& out, const Reading& reading);
void append_readings_text(std::string& out, std::span<const Reading> readings);
std::string readings_text(std::span<const Reading> readings);

}  // namespace tiltwick
