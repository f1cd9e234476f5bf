#pragma once

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace veltora::emulator {

// One signing policy the emulated API token may use.
struct SigningPolicy {
    std::string signingPolicyId;
    std::string signingPolicySlug;
    std::string projectSlug;
    std::shared_ptr<EVP_PKEY> key; // RSA; may be shared with other policies
    std::string certificateDer;
};

// The emulator's signing policies; immutable once built, read by every
// request thread.
class PolicyCatalog {
public:
    // count policies "policy-1" ... in projects "project-1" and "project-2"
    // alternately, with self-signed code-signing certificates. At most four
    // distinct keys are made; further policies share them, so large counts start fast.
    static PolicyCatalog generate(int count, int keyBits);

    // {"signingPolicies": [{"signingPolicyId", "signingPolicySlug",
    // "projectSlug", "privateKeyPem"?, "certificateBytes"?, "validDays"?}]}.
    // Missing keys and certificates are made up. Throws std::runtime_error
    // naming what is wrong.
    static PolicyCatalog fromJson(const nlohmann::json& document, int keyBits);

    const SigningPolicy* find(const std::string& signingPolicyId) const;

    // The MySigningPolicies answer; an empty filter matches everything.
    nlohmann::json answer(const std::string& projectSlug, const std::string& signingPolicySlug) const;

    std::size_t size() const { return policies_.size(); }

private:
    std::vector<SigningPolicy> policies_;
};

} // namespace veltora::emulator
