#include "Quillet/platform/TKTokenConfiguration.h"

#include "Quillet/platform/TokenStore.h"

namespace quillet {

veltora::Result<void> TKTokenConfiguration::setConfigurationData(std::vector<std::uint8_t> data) {
    TKTokenConfiguration changed = *this;
    changed.configurationData_ = std::move(data);
    auto stored = TokenStore(driverDirectory_).write(changed);
    if (stored) {
        *this = std::move(changed);
    }
    return stored;
}

veltora::Result<void> TKTokenConfiguration::setKeychainItems(TKTokenKeychainCertificate certificate,
                                                             TKTokenKeychainKey key) {
    TKTokenConfiguration changed = *this;
    changed.certificate_ = std::move(certificate);
    changed.key_ = std::move(key);
    auto stored = TokenStore(driverDirectory_).write(changed);
    if (stored) {
        *this = std::move(changed);
    }
    return stored;
}

} // namespace quillet
