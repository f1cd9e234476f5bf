#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"

#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

namespace veltora {

namespace {

bool hasText(const std::optional<std::string>& value) {
    return value && !value->empty();
}

// Empty counts as not given: it never hides a weaker source's value.
std::optional<std::string> strongerText(const std::optional<std::string>& from,
                                        const std::optional<std::string>& to) {
    return hasText(from) ? from : to;
}

template <class T> std::optional<T> strongerValue(const std::optional<T>& from, const std::optional<T>& to) {
    return from ? from : to;
}

Error validationError(const char* message) {
    return Error{std::string(errors::client::kDomain), errors::client::kOrganizationIdMissing, message};
}

} // namespace

Result<Configuration> ConfigHelper::readConfig() const {
    const ProcessInfo process = fixedProcess_ ? *fixedProcess_ : ProcessInfo::current();
    const std::optional<Configuration> configuration = readConfigInternal(process);
    DDLogVerbose("using merged config: " + (configuration ? configuration->description() : std::string()));
    if (auto valid = validateConfiguration(configuration); !valid) {
        return valid.error();
    }
    return *configuration;
}

std::optional<Configuration> ConfigHelper::readConfigInternal(const ProcessInfo& process) const {
    const Configuration commandLine = CommandLineParser(process.arguments).extractConfiguration();
    const auto environment = readEnvironmentConfig(process);
    const auto firstMerge = mergeConfiguration(commandLine, environment);
    const auto file =
        readFileConfig(firstMerge ? firstMerge->configFile : std::optional<std::string>(), process);
    const auto secondMerge = mergeConfiguration(firstMerge, file);
    return fillConfiguration(secondMerge, getApplicationDirectoryConfigPath(process));
}

std::optional<Configuration> ConfigHelper::readEnvironmentConfig(const ProcessInfo& process) const {
    const auto variable = [&process](const char* name) {
        const auto found = process.environment.find(name);
        return found == process.environment.end() ? std::string() : found->second;
    };
    Configuration configuration;
    for (const auto& field : kTextFields) {
        configuration.*field.member = variable(field.environmentName);
    }
    forEachTimingField([&](const auto& field) {
        configuration.timeouts.*field.member = field.parseEnvironment(variable(field.environmentName));
    });
    return configuration;
}

std::optional<Configuration> ConfigHelper::readFileConfig(const std::optional<std::string>& configPath,
                                                          const ProcessInfo& process) const {
    const std::string path = hasText(configPath) ? *configPath : getApplicationDirectoryConfigPath(process);
    return readConfigurationFile(path, kMaximumFileSize);
}

std::optional<Configuration>
ConfigHelper::mergeConfiguration(const std::optional<Configuration>& fromConfiguration,
                                 const std::optional<Configuration>& toConfiguration) {
    if (!fromConfiguration) {
        return toConfiguration;
    }
    if (!toConfiguration) {
        return fromConfiguration;
    }
    const Configuration& from = *fromConfiguration;
    const Configuration& to = *toConfiguration;
    Configuration merged;
    for (const auto& field : kTextFields) {
        merged.*field.member = strongerText(from.*field.member, to.*field.member);
    }
    forEachTimingField([&](const auto& field) {
        merged.timeouts.*field.member = strongerValue(from.timeouts.*field.member, to.timeouts.*field.member);
    });
    return merged;
}

Configuration ConfigHelper::fillConfiguration(const std::optional<Configuration>& configuration,
                                              const std::string& defaultConfigPath) {
    // The defaults are the weakest source of all.
    Configuration defaults;
    for (const auto& field : kTextFields) {
        defaults.*field.member = field.defaultText ? field.defaultText : defaultConfigPath;
    }
    defaults.timeouts = kDefaultTimeouts;
    return *mergeConfiguration(configuration, defaults);
}

Result<void> ConfigHelper::validateConfiguration(const std::optional<Configuration>& configuration) {
    if (!configuration) {
        return validationError("No configuration was provided");
    }
    if (!hasText(configuration->apiUrl)) {
        return validationError("The api url is missing");
    }
    if (!hasText(configuration->organizationId)) {
        return validationError("The organization id is missing");
    }
    if (!hasText(configuration->apiToken)) {
        return validationError("The api token is missing");
    }
    return {};
}

std::string ConfigHelper::getApplicationDirectoryConfigPath(const ProcessInfo& process) {
    const std::string& bundle = process.bundlePath;
    const auto slash = bundle.find_last_of('/');
    const std::string directory = slash == std::string::npos ? std::string() : bundle.substr(0, slash);
    return directory + "/config.json";
}

} // namespace veltora
