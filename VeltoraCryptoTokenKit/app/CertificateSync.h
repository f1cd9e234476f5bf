#pragma once

#include "VeltoraCryptoTokenKit/app/Certificate.h"
#include "VeltoraCryptoTokenKit/app/CertificateService.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace veltora {

// What one synchronisation pass produced.
struct SyncPassOutcome {
    std::vector<Certificate> rows; // in response order
    // Set when the pass ended early; the text as logged: "Error fetching signing policies: <description>"
    // or "No signing policies found."
    std::optional<std::string> failure;
};

// One synchronisation pass: the service's signing policies become registrations and table rows.
// Touches no user interface; runs off the main thread.
class CertificateSync {
public:
    // client may be null (no service client: "No signing policies found."); service may be null.
    CertificateSync(const VeltoraClient* client, std::optional<Configuration> config,
                    const CertificateService* service);

    // Fetches the policies (the stop token reaches the request), drops invalid and duplicate
    // certificates, registers the rest. The stop token is checked before each registration; a
    // stopped pass returns at once with what it registered so far (the caller clears afterwards).
    SyncPassOutcome certificateSync(std::stop_token stopToken = {}) const;
    // The same pass over an answer already fetched; none (no client) finds no policies.
    SyncPassOutcome registerPolicies(const std::optional<nlohmann::json>& response,
                                     std::stop_token stopToken = {}) const;

    // Registers one policy object and appends its row to rows.
    void addCertificate(const nlohmann::json& signingPolicy, const std::optional<Configuration>& config,
                        std::vector<Certificate>& rows) const;

private:
    const VeltoraClient* client_;
    std::optional<Configuration> config_;
    const CertificateService* service_;
};

} // namespace veltora
