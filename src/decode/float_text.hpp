#pragma once
// Shortest round-trip decimal text of a float at its own width.

#include <cstddef>
#include <string>

namespace tiltwick {

// The longest text a float or double can take ("-2.2250738585072014e-308").
inline constexpr std::size_t max_float_text = 24;

// Plain decimal for 0 and for magnitudes in [1e-4, 1e16), with at least one digit after
// the point (1.0, 0.25, -0.0); scientific otherwise (1e-5, 1.5e16, -2.5e-7). NaN is "NaN"
// whatever its sign, infinities are "inf" and "-inf". Writes at most max_float_text bytes at
// `out` and returns the end of the text.
char* write_float_text(char* out, float value);
char* write_float_text(char* out, double value);

void append_float_text(std::string& out, float value);
void append_float_text(std::string& out, double value);

}  // namespace tiltwick
