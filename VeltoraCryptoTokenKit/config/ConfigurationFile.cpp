#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"

#include "VeltoraCryptoTokenKit/base/FileContent.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFields.h"
#include "VeltoraCryptoTokenKit/config/FloatText.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>

namespace veltora {

namespace {

using nlohmann::json;

// The value at a file key; a member under anything but an object is missing.
const json* valueAt(const json& document, const char* fileKey) {
    if (fileKey == nullptr) {
        return nullptr;
    }
    const json::json_pointer pointer(fileKey);
    return document.contains(pointer) ? &document.at(pointer) : nullptr;
}

std::optional<std::string> stringValue(const json* value) {
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

// Numbers, and true and false as 1 and 0.
std::optional<double> numberValue(const json* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1.0 : 0.0;
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return static_cast<double>(value->get<std::int64_t>());
    }
    if (value->is_number()) {
        return value->get<double>();
    }
    return std::nullopt;
}

std::optional<float> timingValue(const json* value, const TimingField<float>&) {
    const auto number = numberValue(value);
    if (!number || overflowsFloat(*number)) {
        return std::nullopt;
    }
    return static_cast<float>(*number);
}

std::optional<std::int64_t> timingValue(const json* value, const TimingField<std::int64_t>&) {
    if (value != nullptr && value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<std::int64_t>(); // exact, also beyond 2^53
    }
    const auto number = numberValue(value);
    return number ? integralValue(*number) : std::nullopt;
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

    // An array at the top counts as an empty object: every member is missing.
    Configuration configuration;
    for (const auto& field : kTextFields) {
        auto value = stringValue(valueAt(document, field.fileKey));
        if (!value && field.emptyWhenNotInFile) {
            value = "";
        }
        configuration.*field.member = std::move(value);
    }
    forEachTimingField([&](const auto& field) {
        configuration.timeouts.*field.member = timingValue(valueAt(document, field.fileKey), field);
    });
    return configuration;
}

} // namespace veltora
