#pragma once

#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/config/EnvironmentNumbers.h"

#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace veltora {

// Every setting once, under each name it goes by. The description, the JSON
// form, the file, environment and command-line readers, the merges and the
// defaults all walk these tables, so a new setting is one new row.

// The service's public API endpoint, used when nothing else names one.
inline constexpr const char* kDefaultApiUrl = "https://api.veltora.example/Api";

// The loader's timing values where no source gives one; the record has no defaults.
inline constexpr TimeoutsConfiguration kDefaultTimeouts{30.0f, 1.6f, 10};

// Where a text setting shows in the record's description.
enum class Shown { urlPart, masked, beforeTimeouts, afterTimeouts };

struct TextField {
    std::optional<std::string> Configuration::*member;
    const char* jsonKey; // also its label in the description
    Shown shown;
    const char* defaultText; // nullptr: the default configuration file path
    bool emptyWhenNotInFile;
    const char* fileKey; // a JSON pointer into the file; nullptr: the file never sets it
    const char* environmentName;
    const char* option; // nullptr: no command-line option
    const char* optionStorageKey;
};

// clang-format off
inline constexpr std::array<TextField, 8> kTextFields{{
    {&Configuration::apiUrl,             "apiUrl",            Shown::urlPart,        kDefaultApiUrl, false,
     "/ApiUrl",             "VELTORA_API_URL",             "--api-url",             "apiUrl"},
    {&Configuration::organizationId,     "organizationId",    Shown::urlPart,        "",            false,
     "/OrganizationId",     "VELTORA_ORGANIZATION_ID",     "--organization-id",     "orgId"},
    {&Configuration::apiToken,           "apiToken",          Shown::masked,         "",            false,
     "/ApiToken",           "VELTORA_API_TOKEN",           "--api-token",           "apiToken"},
    {&Configuration::projectSlug,        "projectSlug",       Shown::urlPart,        "",            false,
     "/ProjectSlug",        "VELTORA_PROJECT_SLUG",        "--project-slug",        "projectSlug"},
    {&Configuration::signingPolicySlug,  "signingPolicySlug", Shown::urlPart,        "",            false,
     "/SigningPolicySlug",  "VELTORA_SIGNING_POLICY_SLUG", "--signing-policy-slug", "signingPolicySlug"},
    {&Configuration::configFile,         "configFile",        Shown::beforeTimeouts, nullptr,       true,
     nullptr,               "VELTORA_CONFIG_FILE",         "--config",              "configPath"},
    {&Configuration::logLevel,           "logLevel",          Shown::afterTimeouts,  "",            true,
     "/Log/File/Level",     "VELTORA_LOG_FILE_LEVEL",      nullptr,                 nullptr},
    {&Configuration::logPath,            "logPath",           Shown::afterTimeouts,  "",            true,
     "/Log/File/Directory", "VELTORA_LOG_FILE_DIRECTORY",  nullptr,                 nullptr},
}};
// clang-format on

// A timing value; its default is in kDefaultTimeouts, and no command-line option sets it.
template <class Value> struct TimingField {
    std::optional<Value> TimeoutsConfiguration::*member;
    const char* jsonKey; // also its label in the description
    const char* unit;    // after the value in the description
    const char* fileKey;
    const char* environmentName;
    std::optional<Value> (*parseEnvironment)(const std::string&);
};

// clang-format off
inline constexpr std::tuple kTimingFields{
    TimingField<float>{&TimeoutsConfiguration::httpRequest,            "httpRequest",     "s",
        "/Timeouts/HttpRequest",     "VELTORA_TIMEOUTS_HTTP_REQUEST",      parseEnvironmentFloat},
    TimingField<float>{&TimeoutsConfiguration::firstRetryDelay,        "firstRetryDelay", "s",
        "/Timeouts/FirstRetryDelay", "VELTORA_TIMEOUTS_FIRST_RETRY_DELAY", parseEnvironmentFloat},
    TimingField<std::int64_t>{&TimeoutsConfiguration::retryCount,      "retryCount",      "x",
        "/Timeouts/RetryCount",      "VELTORA_TIMEOUTS_RETRY_COUNT",       parseEnvironmentInteger},
};
// clang-format on

// Calls visit with each row of kTimingFields, in order.
template <class Visit> constexpr void forEachTimingField(Visit&& visit) {
    std::apply([&visit](const auto&... field) { (visit(field), ...); }, kTimingFields);
}

// The environment variable of one setting; naming a setting without a row does not compile.
consteval const char* environmentNameOf(auto member) {
    using Member = decltype(member);
    const char* name = nullptr;
    const auto match = [&name, member](const auto& field) {
        if constexpr (std::is_same_v<decltype(field.member), Member>) {
            name = field.member == member ? field.environmentName : name;
        }
    };
    for (const auto& field : kTextFields) {
        match(field);
    }
    forEachTimingField(match);
    return name ? name : throw "no row names this setting";
}

} // namespace veltora
