#include "tools/emulator/PolicyCatalog.h"

#include "tools/emulator/Base64.h"
#include "tools/emulator/CertificateFactory.h"

#include <openssl/x509.h>

#include <stdexcept>

namespace veltora::emulator {

namespace {

constexpr int kMaxDistinctKeys = 4;

std::string selfSignedCertificate(EVP_PKEY* key, const std::string& commonName, int validDays) {
    CertificateProfile profile;
    profile.commonName = commonName;
    profile.isCodeSigning = true;
    profile.validDays = validDays;
    const auto certificate = CertificateFactory::issue(profile, key, nullptr, key);
    return CertificateFactory::derBytes(certificate.get());
}

std::string requiredText(const nlohmann::json& entry, const char* name, std::size_t index) {
    const auto member = entry.find(name);
    if (member == entry.end() || !member->is_string()) {
        throw std::runtime_error("signingPolicies[" + std::to_string(index) + "]." + name +
                                 " must be a string");
    }
    return member->get<std::string>();
}

SigningPolicy policyFromJson(const nlohmann::json& entry, std::size_t index, int keyBits) {
    if (!entry.is_object()) {
        throw std::runtime_error("signingPolicies[" + std::to_string(index) + "] must be an object");
    }
    SigningPolicy policy;
    policy.signingPolicyId = requiredText(entry, "signingPolicyId", index);
    policy.signingPolicySlug = requiredText(entry, "signingPolicySlug", index);
    policy.projectSlug = requiredText(entry, "projectSlug", index);
    policy.key = entry.contains("privateKeyPem")
                     ? CertificateFactory::readPrivateKeyPem(requiredText(entry, "privateKeyPem", index))
                     : CertificateFactory::generateRsaKey(keyBits);
    if (EVP_PKEY_get_base_id(policy.key.get()) != EVP_PKEY_RSA) {
        throw std::runtime_error("signingPolicies[" + std::to_string(index) +
                                 "].privateKeyPem is not an RSA key");
    }
    if (entry.contains("certificateBytes")) {
        const auto der = base64Decode(requiredText(entry, "certificateBytes", index));
        if (!der) {
            throw std::runtime_error("signingPolicies[" + std::to_string(index) +
                                     "].certificateBytes is not Base64");
        }
        const auto certificate = CertificateFactory::readCertificateDer(*der);
        if (X509_check_private_key(certificate.get(), policy.key.get()) != 1) {
            throw std::runtime_error("signingPolicies[" + std::to_string(index) +
                                     "].certificateBytes does not match the private key");
        }
        policy.certificateDer = *der;
    } else {
        const auto validDays = entry.value("validDays", 365);
        policy.certificateDer = selfSignedCertificate(policy.key.get(), policy.signingPolicySlug, validDays);
    }
    return policy;
}

} // namespace

PolicyCatalog PolicyCatalog::generate(int count, int keyBits) {
    PolicyCatalog catalog;
    std::vector<std::shared_ptr<EVP_PKEY>> keys;
    for (int i = 1; i <= count; ++i) {
        if (keys.size() < kMaxDistinctKeys) {
            keys.push_back(CertificateFactory::generateRsaKey(keyBits));
        }
        SigningPolicy policy;
        policy.signingPolicyId = "policy-id-" + std::to_string(i);
        policy.signingPolicySlug = "policy-" + std::to_string(i);
        policy.projectSlug = "project-" + std::to_string((i - 1) % 2 + 1);
        policy.key = keys[static_cast<std::size_t>(i - 1) % keys.size()];
        policy.certificateDer = selfSignedCertificate(policy.key.get(), policy.signingPolicySlug, 365);
        catalog.policies_.push_back(std::move(policy));
    }
    return catalog;
}

PolicyCatalog PolicyCatalog::fromJson(const nlohmann::json& document, int keyBits) {
    const auto list = document.is_object() ? document.find("signingPolicies") : document.end();
    if (!document.is_object() || list == document.end() || !list->is_array()) {
        throw std::runtime_error("the policy file must be an object with a \"signingPolicies\" array");
    }
    PolicyCatalog catalog;
    for (std::size_t i = 0; i < list->size(); ++i) {
        catalog.policies_.push_back(policyFromJson((*list)[i], i, keyBits));
    }
    return catalog;
}

const SigningPolicy* PolicyCatalog::find(const std::string& signingPolicyId) const {
    for (const auto& policy : policies_) {
        if (policy.signingPolicyId == signingPolicyId) {
            return &policy;
        }
    }
    return nullptr;
}

nlohmann::json PolicyCatalog::answer(const std::string& projectSlug,
                                     const std::string& signingPolicySlug) const {
    auto list = nlohmann::json::array();
    for (const auto& policy : policies_) {
        if ((projectSlug.empty() || policy.projectSlug == projectSlug) &&
            (signingPolicySlug.empty() || policy.signingPolicySlug == signingPolicySlug)) {
            list.push_back({{"signingPolicyId", policy.signingPolicyId},
                            {"signingPolicySlug", policy.signingPolicySlug},
                            {"projectSlug", policy.projectSlug},
                            {"certificateBytes", base64Encode(policy.certificateDer)}});
        }
    }
    return {{"signingPolicies", std::move(list)}};
}

} // namespace veltora::emulator
