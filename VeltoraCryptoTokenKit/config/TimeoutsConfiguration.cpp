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
    forEachTimingField([&](const auto& field) {
        const auto& value = this->*field.member;
        text += (text.empty() ? "" : ", ") + std::string(field.jsonKey) + ": " +
                (value ? numberText(*value) + field.unit : "nil");
    });
    return text;
}

} // namespace veltora
