#include "VeltoraCryptoTokenKit/app/CertificateService.h"

#include "Quillet/platform/ByteText.h"
#include "Quillet/platform/DerCertificate.h"
#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>

namespace veltora {

namespace {

using quillet::TKTokenDriverConfiguration;

// The end of validity as "yyyy-MM-dd HH:mm:ss (UTC)". ASN1_TIME_to_tm converts to UTC itself,
// so the text never depends on the TZ of the process.
std::optional<std::string> expiryText(const quillet::DerCertificate& certificate) {
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate.get());
    std::tm time{};
    if (notAfter == nullptr || ASN1_TIME_to_tm(notAfter, &time) != 1) {
        return std::nullopt;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d (UTC)", time.tm_year + 1900,
                  time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    return std::string(text);
}

// The module reads this back in another process: the merged configuration, compact JSON.
std::vector<std::uint8_t> configurationData(const Configuration& config) {
    const std::string json = config.toJson();
    return {json.begin(), json.end()};
}

} // namespace

std::optional<Certificate> CertificateService::syncCertificate(std::span<const std::uint8_t> certificateDer,
                                                               const std::string& signingPolicyId,
                                                               const Configuration& config) const {
    DDLogInfo("syncing certificates for signing policy id:" + signingPolicyId);
    Certificate row;
    auto data = configurationData(config);

    std::shared_ptr<TKTokenDriverConfiguration> driver;
    for (const auto& [classID, configuration] : TKTokenDriverConfiguration::driverConfigurations()) {
        driver = configuration;
    }
    if (!driver) {
        DDLogError("TokenDriver not found");
        return std::nullopt;
    }

    auto registration = driver->addTokenConfigurationForTokenInstanceID(signingPolicyId);
    if (!registration) {
        DDLogError("Failed to register token: " + registration.error().localizedDescription());
        return std::nullopt;
    }
    auto& token = *registration.value();
    if (auto stored = token.setConfigurationData(std::move(data)); !stored) {
        DDLogError("Failed to register token: " + stored.error().localizedDescription());
        return std::nullopt;
    }

    auto certificate = quillet::DerCertificate::parse(certificateDer);
    if (!certificate) {
        DDLogError("Failed to create os certificate from data.");
        return std::nullopt;
    }
    // A certificate that parses but cannot become a key item (not RSA), or has no readable end of
    // validity, ends like one that does not parse: an error line, no row, no items.
    auto keyItem = quillet::TKTokenKeychainKey::make(certificate.value(), signingPolicyId);
    if (!keyItem) {
        DDLogError("Failed to create keychain items from certificate: " + keyItem.error().localizedDescription());
        return std::nullopt;
    }
    auto certificateItem =
        quillet::TKTokenKeychainCertificate::make(certificate.value(), certificateDer, signingPolicyId);
    auto expires = expiryText(certificate.value());
    if (!expires) {
        DDLogError("Failed to read the expiry date of the certificate.");
        return std::nullopt;
    }

    row.expires = std::move(expires);
    row.commonName = certificateItem.label().value_or("");
    if (const auto& hash = keyItem.value().publicKeyHash()) {
        row.fingerprint = quillet::hexDescription(*hash);
    }
    if (auto stored = token.setKeychainItems(std::move(certificateItem), std::move(keyItem).value());
        !stored) {
        DDLogError("Failed to register token: " + stored.error().localizedDescription());
        return std::nullopt;
    }
    DDLogVerbose("TokenDriver was found and certificate with CN:'" + *row.commonName + "' was created");
    return row;
}

void CertificateService::clearVeltoraTokens() const {
    clearVeltoraTokens(TKTokenDriverConfiguration::driverConfigurations());
}

void CertificateService::clearVeltoraTokens(
    const std::map<std::string, std::shared_ptr<TKTokenDriverConfiguration>>& driverConfigurations) const {
    DDLogVerbose("clearing veltora tokens");
    for (const auto& [classID, driver] : driverConfigurations) {
        for (const auto& [instanceID, token] : driver->tokenConfigurations()) {
            DDLogVerbose("found token: " + instanceID);
            if (auto removed = driver->removeTokenConfigurationForTokenInstanceID(instanceID); !removed) {
                DDLogError("Failed to remove token " + instanceID + ": " +
                           removed.error().localizedDescription());
            }
        }
    }
}

} // namespace veltora
