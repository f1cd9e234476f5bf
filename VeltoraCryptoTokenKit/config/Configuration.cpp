#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include "VeltoraCryptoTokenKit/config/FloatText.h"

#include <nlohmann/json.hpp>

#include <cmath>
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

std::string tokenMask(const std::optional<std::string>& token) {
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

Result<std::optional<float>> readSeconds(const json& object, const char* key) {
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

Result<std::optional<std::int64_t>> readCount(const json& object, const char* key) {
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
    if (value->is_number_float()) {
        const double number = value->get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            return std::optional<std::int64_t>{static_cast<std::int64_t>(number)};
        }
    }
    return notIntegral();
}

} // namespace

std::string Configuration::description() const {
    const auto text = [](const std::optional<std::string>& value) { return value.value_or(""); };
    return "fullUrl: '" + text(apiUrl) + "/" + text(organizationId) + "/" + text(projectSlug) + "/" +
           text(signingPolicySlug) + "' apiToken: '" + tokenMask(apiToken) + "' configFile: '" +
           text(configFile) + "' timeouts: " + timeouts.description() + " logLevel: '" + text(logLevel) +
           "' logPath: '" + text(logPath) + "'";
}

std::string Configuration::toJson() const {
    json object = json::object();
    putText(object, "apiUrl", apiUrl);
    putText(object, "organizationId", organizationId);
    putText(object, "apiToken", apiToken);
    putText(object, "projectSlug", projectSlug);
    putText(object, "signingPolicySlug", signingPolicySlug);
    putText(object, "configFile", configFile);
    json timing = json::object();
    if (timeouts.httpRequest) {
        timing["httpRequest"] = jsonNumber(*timeouts.httpRequest);
    }
    if (timeouts.firstRetryDelay) {
        timing["firstRetryDelay"] = jsonNumber(*timeouts.firstRetryDelay);
    }
    if (timeouts.retryCount) {
        timing["retryCount"] = *timeouts.retryCount;
    }
    object["timeouts"] = std::move(timing);
    putText(object, "logLevel", logLevel);
    putText(object, "logPath", logPath);
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
    const std::pair<const char*, std::optional<std::string>*> texts[] = {
        {"apiUrl", &configuration.apiUrl},
        {"organizationId", &configuration.organizationId},
        {"apiToken", &configuration.apiToken},
        {"projectSlug", &configuration.projectSlug},
        {"signingPolicySlug", &configuration.signingPolicySlug},
        {"configFile", &configuration.configFile},
        {"logLevel", &configuration.logLevel},
        {"logPath", &configuration.logPath},
    };
    for (const auto& [key, field] : texts) {
        auto value = readText(document, key);
        if (!value) {
            return value.error();
        }
        *field = std::move(value).value();
    }
    auto httpRequest = readSeconds(*timing, "httpRequest");
    if (!httpRequest) {
        return httpRequest.error();
    }
    auto firstRetryDelay = readSeconds(*timing, "firstRetryDelay");
    if (!firstRetryDelay) {
        return firstRetryDelay.error();
    }
    auto retryCount = readCount(*timing, "retryCount");
    if (!retryCount) {
        return retryCount.error();
    }
    configuration.timeouts = {httpRequest.value(), firstRetryDelay.value(), retryCount.value()};
    return configuration;
}

} // namespace veltora
