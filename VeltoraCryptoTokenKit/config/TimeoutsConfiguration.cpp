#include "VeltoraCryptoTokenKit/config/TimeoutsConfiguration.h"

#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"
#include "VeltoraCryptoTokenKit/config/FloatText.h"

namespace veltora {

namespace {
std::string numberText(float value) {
    return shortestFloatText(value);
}

std::string numberText(std::int64_t value) {
    return std::to_string(value);
}
} // namespace

std::string TimeoutsConfiguration::description() const {
    std::string text;
    text.reserve(64);
    forEachTimingField([&](const auto& field) {
        const auto& value = this->*field.member;
        text.append(text.empty() ? "" : ", ").append(field.jsonKey).append(": ");
        value ? text.append(numberText(*value)).append(field.unit) : text.append("nil");
    });
    return text;
}

} // namespace veltora
