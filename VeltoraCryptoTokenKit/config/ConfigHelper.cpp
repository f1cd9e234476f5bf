#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"

#include "VeltoraCryptoTokenKit/config/CommandLineParser.h"
#include "VeltoraCryptoTokenKit/config/ConfigurationFile.h"
#include "VeltoraCryptoTokenKit/config/EnvironmentNumbers.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

namespace veltora {

namespace {

constexpr float defaultHttpRequest = 30.0f;
constexpr float defaultFirstRetryDelay = 1.6f;
constexpr std::int64_t defaultRetryCount = 10;

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

std::string textOrEmpty(const std::optional<std::string>& value) {
    return hasText(value) ? *value : "";
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
    const auto variable = [&process](const std::string& name) {
        const auto found = process.environment.find(name);
        return found == process.environment.end() ? std::string() : found->second;
    };
    Configuration configuration;
    configuration.organizationId = variable(ENV_ORG_ID);
    configuration.apiUrl = variable(ENV_API_URL);
    configuration.apiToken = variable(ENV_API_TOKEN);
    configuration.configFile = variable(ENV_CONFIG_FILE);
    configuration.projectSlug = variable(ENV_PROJECT_SLUG);
    configuration.signingPolicySlug = variable(ENV_SIGNING_POLICY_SLUG);
    configuration.timeouts.httpRequest = parseEnvironmentFloat(variable(ENV_TIMEOUTS_HTTP_REQUEST));
    configuration.timeouts.firstRetryDelay = parseEnvironmentFloat(variable(ENV_TIMEOUTS_FIRST_RETRY_DELAY));
    configuration.timeouts.retryCount = parseEnvironmentInteger(variable(ENV_TIMEOUTS_RETRY_COUNT));
    configuration.logLevel = variable(ENV_LOG_LEVEL);
    configuration.logPath = variable(ENV_LOG_PATH);
    return configuration;
}

std::optional<Configuration> ConfigHelper::readFileConfig(const std::optional<std::string>& configPath,
                                                          const ProcessInfo& process) const {
    const std::string path = hasText(configPath) ? *configPath : getApplicationDirectoryConfigPath(process);
    return readConfigurationFile(path, maximumFileSize);
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
    merged.apiUrl = strongerText(from.apiUrl, to.apiUrl);
    merged.organizationId = strongerText(from.organizationId, to.organizationId);
    merged.apiToken = strongerText(from.apiToken, to.apiToken);
    merged.projectSlug = strongerText(from.projectSlug, to.projectSlug);
    merged.signingPolicySlug = strongerText(from.signingPolicySlug, to.signingPolicySlug);
    merged.configFile = strongerText(from.configFile, to.configFile);
    merged.timeouts.httpRequest = strongerValue(from.timeouts.httpRequest, to.timeouts.httpRequest);
    merged.timeouts.firstRetryDelay =
        strongerValue(from.timeouts.firstRetryDelay, to.timeouts.firstRetryDelay);
    merged.timeouts.retryCount = strongerValue(from.timeouts.retryCount, to.timeouts.retryCount);
    merged.logLevel = strongerText(from.logLevel, to.logLevel);
    merged.logPath = strongerText(from.logPath, to.logPath);
    return merged;
}

Configuration ConfigHelper::fillConfiguration(const std::optional<Configuration>& configuration,
                                              const std::string& defaultConfigPath) {
    const Configuration given = configuration.value_or(Configuration{});
    Configuration filled;
    filled.apiUrl = hasText(given.apiUrl) ? *given.apiUrl : defaultApiUrl;
    filled.organizationId = textOrEmpty(given.organizationId);
    filled.apiToken = textOrEmpty(given.apiToken);
    filled.projectSlug = textOrEmpty(given.projectSlug);
    filled.signingPolicySlug = textOrEmpty(given.signingPolicySlug);
    filled.configFile = hasText(given.configFile) ? *given.configFile : defaultConfigPath;
    filled.timeouts.httpRequest = given.timeouts.httpRequest.value_or(defaultHttpRequest);
    filled.timeouts.firstRetryDelay = given.timeouts.firstRetryDelay.value_or(defaultFirstRetryDelay);
    filled.timeouts.retryCount = given.timeouts.retryCount.value_or(defaultRetryCount);
    filled.logLevel = textOrEmpty(given.logLevel);
    filled.logPath = textOrEmpty(given.logPath);
    return filled;
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
