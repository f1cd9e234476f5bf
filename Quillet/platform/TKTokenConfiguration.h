#pragma once

#include "Quillet/platform/TKTokenKeychainCertificate.h"
#include "Quillet/platform/TKTokenKeychainKey.h"
#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <cstdint>
#include <functional>
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
    // Replaces the stored registration with the one given; the store that
    // made or read a registration gives it the way back to that store.
    using Save = std::function<veltora::Result<void>(const TKTokenConfiguration&)>;

    const std::string& instanceID() const { return values_->instanceID; }
    const std::optional<std::vector<std::uint8_t>>& configurationData() const {
        return values_->configurationData;
    }
    const std::optional<TKTokenKeychainCertificate>& certificateItem() const { return values_->certificate; }
    const std::optional<TKTokenKeychainKey>& keyItem() const { return values_->key; }
    // The configuration data decoded as a configuration record (no data decodes
    // as empty text). Decoded once for this registration and the copies made of
    // it: signing reads the registration for every signature, and the
    // registrations already decoded come back as copies.
    veltora::Result<veltora::Configuration> decodedConfiguration() const;
    // True when one is a copy of the other, neither changed since: then nothing
    // in them can differ. The store hands out copies of the registrations it
    // has decoded, so an unchanged file gives a copy of its last reading.
    bool isCopyOf(const TKTokenConfiguration& other) const { return values_ == other.values_; }

    veltora::Result<void> setConfigurationData(std::vector<std::uint8_t> data);
    veltora::Result<void> setKeychainItems(TKTokenKeychainCertificate certificate, TKTokenKeychainKey key);

private:
    friend class TKTokenDriverConfiguration;
    friend class TokenStore;

    class DecodedConfiguration;

    struct Values {
        Save save;
        std::string instanceID;
        std::optional<std::vector<std::uint8_t>> configurationData;
        std::optional<TKTokenKeychainCertificate> certificate;
        std::optional<TKTokenKeychainKey> key;
        // Decoded once for this data, shared by the copies; other data gets its own.
        std::shared_ptr<DecodedConfiguration> decoded = newDecodedConfiguration();
    };

    static std::shared_ptr<DecodedConfiguration> newDecodedConfiguration();

    // The values to change, this registration's own: copies share them until
    // then, so that a copy costs no more than a pointer's (the slot list
    // copies every registration it reads).
    Values& values();
    void replaceConfigurationData(std::optional<std::vector<std::uint8_t>> data);

    std::shared_ptr<Values> values_ = std::make_shared<Values>();
};

} // namespace quillet
