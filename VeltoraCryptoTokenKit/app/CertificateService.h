#pragma once

#include "Quillet/platform/TKTokenDriverConfiguration.h"
#include "VeltoraCryptoTokenKit/app/Certificate.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace veltora {

// The host's only writer of token registrations: one per accepted certificate, each carrying the
// merged configuration so that the module, in another process, can sign with it. Holds no state.
class CertificateService {
public:
    // Registers one certificate; no row when the registration failed (the failure is logged).
    std::optional<Certificate> syncCertificate(std::span<const std::uint8_t> certificateDer,
                                               const std::string& signingPolicyId,
                                               const Configuration& config) const;
    // Removes every registration of every driver configuration.
    void clearVeltoraTokens() const;
    // The same over the given driver configurations (class ID to driver configuration).
    void clearVeltoraTokens(const std::map<std::string, std::shared_ptr<quillet::TKTokenDriverConfiguration>>&
                                driverConfigurations) const;
};

} // namespace veltora
