#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"

#include "VeltoraCryptoTokenKit/base/FileContent.h"
#include "VeltoraCryptoTokenKit/config/FloatText.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>

namespace veltora {

namespace {

using nlohmann::json;

const json* objectMember(const json& object, const char* key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto found = object.find(key);
    return found != object.end() && found->is_object() ? &*found : nullptr;
}

std::optional<std::string> stringMember(const json* object, const char* key) {
    if (object == nullptr) {
        return std::nullopt;
    }
    const auto found = object->find(key);
    if (found == object->end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// Numbers, and true and false as 1 and 0.
std::optional<double> numberMember(const json* object, const char* key) {
    if (object == nullptr) {
        return std::nullopt;
    }
    const auto found = object->find(key);
    if (found == object->end()) {
        return std::nullopt;
    }
    if (found->is_boolean()) {
        return found->get<bool>() ? 1.0 : 0.0;
    }
    if (found->is_number_integer() && !found->is_number_unsigned()) {
        return static_cast<double>(found->get<std::int64_t>());
    }
    if (found->is_number()) {
        return found->get<double>();
    }
    return std::nullopt;
}

std::optional<float> secondsMember(const json* object, const char* key) {
    const auto number = numberMember(object, key);
    if (!number || overflowsFloat(*number)) {
        return std::nullopt;
    }
    return static_cast<float>(*number);
}

std::optional<std::int64_t> countMember(const json* object, const char* key) {
    if (object != nullptr) {
        const auto found = object->find(key);
        if (found != object->end() && found->is_number_integer() && !found->is_number_unsigned()) {
            return found->get<std::int64_t>(); // exact, also beyond 2^53
        }
    }
    const auto number = numberMember(object, key);
    if (!number || std::trunc(*number) != *number || *number < -9223372036854775808.0 ||
        *number >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*number);
}

} // namespace

std::optional<Configuration> readConfigurationFile(const std::string& path, std::size_t maximumSize) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        DDLogError("Failed to find file at path " + path + ".");
        return std::nullopt;
    }
    DDLogVerbose("Reading config from file at path " + path);
    const auto bytes = readRegularFile(AT_FDCWD, path.c_str(), 0, maximumSize, status);
    if (!bytes) {
        DDLogError("Failed to read JSON file at path " + path + ".");
        return std::nullopt;
    }
    return configurationFromFileText(bytes.value());
}

std::optional<Configuration> configurationFromFileText(std::string_view text) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        DDLogError(std::string("Failed to parse JSON data: ") + error.what());
        return std::nullopt;
    }
    if (!document.is_object() && !document.is_array()) {
        DDLogError("Failed to parse JSON data: the top level is neither an object nor an array.");
        return std::nullopt;
    }

    const json* top = document.is_object() ? &document : nullptr;
    const json* timeouts = top ? objectMember(*top, "Timeouts") : nullptr;
    const json* log = top ? objectMember(*top, "Log") : nullptr;
    const json* logFile = log ? objectMember(*log, "File") : nullptr;

    Configuration configuration;
    configuration.apiUrl = stringMember(top, "ApiUrl");
    configuration.organizationId = stringMember(top, "OrganizationId");
    configuration.apiToken = stringMember(top, "ApiToken");
    configuration.projectSlug = stringMember(top, "ProjectSlug");
    configuration.signingPolicySlug = stringMember(top, "SigningPolicySlug");
    configuration.configFile = "";
    configuration.timeouts.httpRequest = secondsMember(timeouts, "HttpRequest");
    configuration.timeouts.firstRetryDelay = secondsMember(timeouts, "FirstRetryDelay");
    configuration.timeouts.retryCount = countMember(timeouts, "RetryCount");
    configuration.logLevel = stringMember(logFile, "Level").value_or("");
    configuration.logPath = stringMember(logFile, "Directory").value_or("");
    return configuration;
}

} // namespace veltora
