#include "VeltoraCryptoTokenKit/config/FloatText.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace veltora {

std::string shortestFloatText(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    // Plain notation up to the magnitudes a timeout can sensibly have, exponent form beyond.
    const bool plain = value == 0.0f || (std::fabs(value) >= 1e-4f && std::fabs(value) < 1e16f);
    const auto format = plain ? std::chars_format::fixed : std::chars_format::scientific;
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (plain && text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

bool overflowsFloat(double number) {
    // Halfway between the largest float and the next power of two rounds to infinity.
    const double halfStepAboveLargest =
        static_cast<double>(std::numeric_limits<float>::max()) +
        std::ldexp(1.0, std::numeric_limits<float>::max_exponent - std::numeric_limits<float>::digits - 1);
    return std::isfinite(number) && std::fabs(number) >= halfStepAboveLargest;
}

std::optional<std::int64_t> integralValue(double number) {
    // 2^63 itself is out of range; every integral double below it converts exactly.
    if (std::trunc(number) != number || number < -9223372036854775808.0 || number >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(number);
}

} // namespace veltora
