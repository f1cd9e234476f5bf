#pragma once

#include <string>

namespace veltora {

// The shortest decimal text that reads back as the same 32-bit value, with
// ".0" for integral values: 30 -> "30.0", 1.6f -> "1.6".
std::string shortestFloatText(float value);

} // namespace veltora
