#pragma once
// Shortest round-trip decimal text of a float at its own width.

#include <string>

namespace tiltwick {

// Plain decimal for 0 and for magnitudes in [1e-4, 1e16), with at least one digit after
// the point (1.0, 0.25, -0.0); scientific otherwise (1e-5, 1.5e16, -2.5e-7). NaN is "NaN"
// whatever its sign, infinities are "inf" and "-inf".
void append_float_text(std::string& out, float value);
void append_float_text(std::string& out, double value);

}  // namespace tiltwick
