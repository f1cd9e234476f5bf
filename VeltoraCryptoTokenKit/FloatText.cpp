#include "VeltoraCryptoTokenKit/FloatText.h"

#include <charconv>
#include <cmath>

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

} // namespace veltora
