#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veltora {

// The shortest decimal text that reads back as the same 32-bit value, with
// ".0" for integral values: 30 -> "30.0", 1.6f -> "1.6".
std::string shortestFloatText(float value);

// A finite number that a 32-bit float cannot hold: it would round to infinity.
// The largest float's own shortest text, "3.4028235e+38", lies above the
// largest float but rounds to it, so it fits.
bool overflowsFloat(double number);

// The number as a 64-bit integer when it is integral and in range.
std::optional<std::int64_t> integralValue(double number);

} // namespace veltora
