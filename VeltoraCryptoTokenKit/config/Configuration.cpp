#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"
#include "VeltoraCryptoTokenKit/config/FloatText.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <limits>

namespace veltora {

namespace {

using nlohmann::json;

enum DecodingCode : std::int64_t {
    notJson = errors::config::kNotJson,
    notAnObject = errors::config::kNotAnObject,
    missingTimeouts = errors::config::kMissingTimeouts,
    wrongType = errors::config::kWrongType,
    numberOutOfRange = errors::config::kNumberOutOfRange,
};

Error decodingError(DecodingCode code, std::string description) {
    return Error{std::string(errors::config::kDecodingDomain), code, std::move(description)};
}

std::string_view tokenMask(const std::optional<std::string>& token) {
    if (!token) {
        return "<null>";
    }
    return token->empty() ? "<empty>" : "#####";
}

// The double whose shortest text is the float's, so that the encoder writes
// "1.6" rather than the widened 1.600000023841858.
double jsonNumber(float value) {
    const double shortest = std::strtod(shortestFloatText(value).c_str(), nullptr);
    return static_cast<float>(shortest) == value ? shortest : static_cast<double>(value);
}

std::int64_t jsonNumber(std::int64_t value) {
    return value;
}

void putText(json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

// A present, non-null member, or null when the key is absent or holds null.
const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

Result<std::optional<std::string>> readText(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) {
        return std::optional<std::string>{};
    }
    if (!value->is_string()) {
        return decodingError(wrongType, std::string("Expected a string for key \"") + key + "\".");
    }
    return std::optional<std::string>{value->get<std::string>()};
}

Result<std::optional<float>> readTiming(const json& object, const char* key, const TimingField<float>&) {
    const json* value = member(object, key);
    if (!value) {
        return std::optional<float>{};
    }
    if (!value->is_number()) {
        return decodingError(wrongType, std::string("Expected a number for key \"") + key + "\".");
    }
    const double number = value->get<double>();
    if (overflowsFloat(number)) {
        return decodingError(numberOutOfRange,
                             std::string("The number for key \"") + key + "\" does not fit a 32-bit float.");
    }
    return std::optional<float>{static_cast<float>(number)};
}

Result<std::optional<std::int64_t>> readTiming(const json& object, const char* key,
                                               const TimingField<std::int64_t>&) {
    const json* value = member(object, key);
    if (!value) {
        return std::optional<std::int64_t>{};
    }
    const auto notIntegral = [key] {
        return decodingError(wrongType, std::string("Expected a 64-bit integer for key \"") + key + "\".");
    };
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return std::optional<std::int64_t>{value->get<std::int64_t>()};
    }
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return notIntegral();
        }
        return std::optional<std::int64_t>{static_cast<std::int64_t>(number)};
    }
    if (const auto number = value->is_number_float() ? integralValue(value->get<double>()) : std::nullopt) {
        return number;
    }
    return notIntegral();
}

} // namespace

std::string Configuration::description() const {
    const auto shown = [this](const TextField& field) -> std::string_view {
        const auto& value = this->*field.member;
        return field.shown == Shown::masked ? tokenMask(value) : value ? std::string_view(*value) : "";
    };
    std::string text = "fullUrl: '";
    text.reserve(256);
    for (const auto& field : kTextFields) {
        if (field.shown == Shown::urlPart) {
            text.append(shown(field)).append("/");
        }
    }
    text.back() = '\''; // the slash after the last part closes the quote instead
    const auto labelled = [&](bool afterTimeouts) {
        for (const auto& field : kTextFields) {
            if (field.shown != Shown::urlPart && (field.shown == Shown::afterTimeouts) == afterTimeouts) {
                text.append(" ").append(field.jsonKey).append(": '").append(shown(field)).append("'");
            }
        }
    };
    labelled(false);
    text.append(" timeouts: ").append(timeouts.description());
    labelled(true);
    return text;
}

std::string Configuration::toJson() const {
    json object = json::object();
    for (const auto& field : kTextFields) {
        putText(object, field.jsonKey, this->*field.member);
    }
    json timing = json::object();
    forEachTimingField([&](const auto& field) {
        if (const auto& value = timeouts.*field.member) {
            timing[field.jsonKey] = jsonNumber(*value);
        }
    });
    object["timeouts"] = std::move(timing);
    // Invalid UTF-8 in a text is replaced rather than failing the whole record.
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

Result<Configuration> Configuration::fromJson(std::string_view text) {
    const json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded()) {
        return decodingError(notJson, "The data is not valid JSON.");
    }
    if (!document.is_object()) {
        return decodingError(notAnObject, "The top level of the configuration is not an object.");
    }
    const auto timing = document.find("timeouts");
    if (timing == document.end() || timing->is_null()) {
        return decodingError(missingTimeouts, "The configuration has no \"timeouts\".");
    }
    if (!timing->is_object()) {
        return decodingError(wrongType, "Expected an object for key \"timeouts\".");
    }

    Configuration configuration;
    for (const auto& field : kTextFields) {
        auto value = readText(document, field.jsonKey);
        if (!value) {
            return value.error();
        }
        configuration.*field.member = std::move(value).value();
    }
    std::optional<Error> failure;
    forEachTimingField([&](const auto& field) {
        auto value = readTiming(*timing, field.jsonKey, field);
        if (!value) {
            failure = failure.value_or(value.error());
        } else {
            configuration.timeouts.*field.member = value.value();
        }
    });
    if (failure) {
        return *failure;
    }
    return configuration;
}

} // namespace veltora
