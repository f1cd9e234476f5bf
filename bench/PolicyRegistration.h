#pragma once

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "tests/support/EmulatorProcess.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltora::bench {

inline constexpr const char* kPolicyId = "policy-id-1";

// The DER certificate of the emulator's first policy.
inline std::vector<std::uint8_t> policyCertificate(const test::EmulatorProcess& emulator,
                                                   const TimeoutsConfiguration& timeouts) {
    const VeltoraClient client(emulator.baseUrl(), test::EmulatorProcess::kOrganization,
                               test::EmulatorProcess::kApiToken, timeouts);
    const auto policies = client.mySigningPolicies(std::nullopt, std::nullopt);
    if (!policies) {
        throw std::runtime_error("cannot read the emulator's policies");
    }
    const std::string text = policies.value().at("signingPolicies").at(0).at("certificateBytes");
    auto der = quillet::base64Decoded(text);
    if (!der) {
        throw std::runtime_error("the policy's certificate is not Base64");
    }
    return std::move(der).value();
}

// Registers the emulator's first policy as the host does, in the store that
// VELTORA_TOKEN_STORE names.
inline void registerFirstPolicy(const test::EmulatorProcess& emulator,
                                const TimeoutsConfiguration& timeouts) {
    auto drivers = quillet::TKTokenDriverConfiguration::driverConfigurations();
    const auto driver = drivers.find(quillet::TKTokenDriverConfiguration::quilletClassID);
    if (driver == drivers.end()) {
        throw std::runtime_error("cannot register the emulator's policy");
    }
    const std::vector<std::uint8_t> der = policyCertificate(emulator, timeouts);
    Configuration configuration;
    configuration.apiUrl = emulator.baseUrl();
    configuration.organizationId = test::EmulatorProcess::kOrganization;
    configuration.apiToken = test::EmulatorProcess::kApiToken;
    configuration.timeouts = timeouts;
    const std::string json = configuration.toJson();
    auto registration = driver->second->addTokenConfigurationForTokenInstanceID(kPolicyId);
    auto certificate = quillet::TKTokenKeychainCertificate::make(der, kPolicyId);
    auto key = quillet::TKTokenKeychainKey::make(der, kPolicyId);
    if (!registration || !certificate || !key ||
        !registration.value()->setConfigurationData(std::vector<std::uint8_t>(json.begin(), json.end())) ||
        !registration.value()->setKeychainItems(std::move(certificate).value(), std::move(key).value())) {
        throw std::runtime_error("cannot write the registration");
    }
}

} // namespace veltora::bench
