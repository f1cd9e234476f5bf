#include "VeltoraCryptoTokenKit/app/CertificateSync.h"

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/DerCertificate.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <QString>

#include <algorithm>
#include <unordered_set>

namespace veltora {

namespace {

using nlohmann::json;

// Texts compare equal when they are canonically equivalent: their NFC forms are the same.
class CanonicalTextSet {
public:
    // False when an equivalent text was inserted before.
    bool insert(const std::string& text) {
        return texts_
            .insert(QString::fromStdString(text).normalized(QString::NormalizationForm_C).toStdString())
            .second;
    }

private:
    std::unordered_set<std::string> texts_;
};

std::optional<std::string> textMember(const json& object, const char* key) {
    const auto member = object.find(key);
    if (member == object.end() || !member->is_string()) {
        return std::nullopt;
    }
    return member->get<std::string>();
}

bool holdsPolicies(const json& response) {
    if (!response.is_object() || response.empty()) {
        return false;
    }
    const auto policies = response.find("signingPolicies");
    return policies != response.end() && policies->is_array() &&
           std::all_of(policies->begin(), policies->end(),
                       [](const json& policy) { return policy.is_object(); });
}

// Bytes that are Base64 but no certificate are as invalid as text that is not Base64.
std::optional<quillet::DerCertificate> strictlyDecodedCertificate(const std::string& text) {
    const auto der = quillet::base64Decoded(text);
    if (!der) {
        return std::nullopt;
    }
    auto certificate = quillet::DerCertificate::parse(*der);
    if (!certificate) {
        return std::nullopt;
    }
    return std::move(certificate).value();
}

// "none" for a slug that is absent, the slug itself (possibly empty) otherwise.
std::string slugText(const std::optional<Configuration>& config,
                     std::optional<std::string> Configuration::*slug) {
    return config && (*config).*slug ? *((*config).*slug) : "none";
}

} // namespace

CertificateSync::CertificateSync(const VeltoraClient* client, std::optional<Configuration> config,
                                 const CertificateService* service)
    : client_(client), config_(std::move(config)), service_(service) {}

SyncPassOutcome CertificateSync::certificateSync(std::stop_token stopToken) const {
    SyncPassOutcome outcome;
    std::optional<json> response;
    if (client_ != nullptr) {
        auto fetched =
            client_->mySigningPolicies(config_ ? config_->projectSlug : std::nullopt,
                                       config_ ? config_->signingPolicySlug : std::nullopt, stopToken);
        if (!fetched) {
            outcome.failure = "Error fetching signing policies: " + fetched.error().localizedDescription();
            DDLogError(*outcome.failure);
            return outcome;
        }
        response = std::move(fetched).value();
    }
    return registerPolicies(response, stopToken);
}

SyncPassOutcome CertificateSync::registerPolicies(const std::optional<json>& response,
                                                  std::stop_token stopToken) const {
    SyncPassOutcome outcome;
    if (!response || !holdsPolicies(*response)) {
        outcome.failure = "No signing policies found.";
        DDLogError(*outcome.failure);
        return outcome;
    }

    CanonicalTextSet seenCertificates;
    CanonicalTextSet seenNames;
    int count = 0;
    for (const json& policy : response->at("signingPolicies")) {
        const auto certificateBytes = textMember(policy, "certificateBytes");
        if (!certificateBytes) {
            DDLogWarn("Invalid certificate data");
            continue;
        }
        // Before any decoding: a repeat of a string that does not decode is still a repeat.
        if (!seenCertificates.insert(*certificateBytes)) {
            DDLogWarn("Could not add same certificate twice");
            continue;
        }
        const auto certificate = strictlyDecodedCertificate(*certificateBytes);
        if (!certificate) {
            DDLogWarn("Invalid certificate data");
            continue;
        }
        const auto commonName = certificate->commonName();
        if (!commonName) {
            DDLogWarn("Failed to extract common name from certificate");
            continue;
        }
        const std::string name = commonName.value().value_or("");
        if (!seenNames.insert(name)) {
            DDLogWarn("Could not certificate with the same common name twice " + name);
            continue;
        }
        // A host that is quitting must not leave registrations behind that its clearing misses.
        if (stopToken.stop_requested()) {
            return outcome;
        }
        addCertificate(policy, config_, outcome.rows);
        ++count;
    }
    if (count == 0) {
        DDLogError("Could not find any valid certificates project slug: '" +
                   slugText(config_, &Configuration::projectSlug) + "' signing policy slug: '" +
                   slugText(config_, &Configuration::signingPolicySlug) + "'");
    }
    return outcome;
}

void CertificateSync::addCertificate(const json& signingPolicy, const std::optional<Configuration>& config,
                                     std::vector<Certificate>& rows) const {
    const auto certificateBytes = textMember(signingPolicy, "certificateBytes");
    if (!certificateBytes) {
        return;
    }
    const auto der = quillet::base64DecodedIgnoringUnknownCharacters(*certificateBytes);
    // Without a configuration the module could not sign with the registration.
    if (!der || service_ == nullptr || !config) {
        return;
    }
    auto row =
        service_->syncCertificate(*der, textMember(signingPolicy, "signingPolicyId").value_or(""), *config);
    if (!row) {
        return;
    }
    row->signingPolicy = textMember(signingPolicy, "signingPolicySlug");
    row->project = textMember(signingPolicy, "projectSlug");
    rows.push_back(std::move(*row));
}

} // namespace veltora
