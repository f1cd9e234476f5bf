#pragma once

#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// One token registration: its instance ID, the configuration data the host
// stored with it, and the certificate and key it presents. Read from the store
// as a snapshot; the setters (host side) replace the stored registration atomically.
class TKTokenConfiguration {
public:
    TKTokenConfiguration();

    const std::string& instanceID() const { return instanceID_; }
    const std::optional<std::vector<std::uint8_t>>& configurationData() const { return configurationData_; }
    const std::optional<TKTokenKeychainCertificate>& certificateItem() const { return certificate_; }
    const std::optional<TKTokenKeychainKey>& keyItem() const { return key_; }
    // The configuration data decoded as a configuration record (no data decodes
    // as empty text). Decoded once for this registration and the copies made of
    // it: signing reads the store for every signature, and the registrations
    // already decoded come back as copies.
    veltora::Result<veltora::Configuration> decodedConfiguration() const;

    veltora::Result<void> setConfigurationData(std::vector<std::uint8_t> data);
    veltora::Result<void> setKeychainItems(TKTokenKeychainCertificate certificate, TKTokenKeychainKey key);

private:
    friend class TKTokenDriverConfiguration;
    friend class TokenStore;

    class DecodedConfiguration;

    void replaceConfigurationData(std::optional<std::vector<std::uint8_t>> data);

    std::filesystem::path driverDirectory_;
    std::string instanceID_;
    std::optional<std::vector<std::uint8_t>> configurationData_;
    std::optional<TKTokenKeychainCertificate> certificate_;
    std::optional<TKTokenKeychainKey> key_;
    // Shared by the copies; a registration with other data gets its own.
    std::shared_ptr<DecodedConfiguration> decoded_;
};

} // namespace quillet
