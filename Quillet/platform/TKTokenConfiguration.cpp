#include "Quillet/platform/TKTokenConfiguration.h"

#include <cerrno>

namespace quillet {

namespace {

veltora::Result<void> saved(const TKTokenConfiguration::Save& save, const TKTokenConfiguration& changed) {
    if (!save) {
        return veltora::Error{"TKTokenConfiguration", EINVAL, "The registration belongs to no store."};
    }
    return save(changed);
}

} // namespace

TKTokenConfiguration::Values& TKTokenConfiguration::values() {
    if (values_.use_count() > 1) {
        values_ = std::make_shared<Values>(*values_);
    }
    return *values_;
}

veltora::Result<void> TKTokenConfiguration::setConfigurationData(std::vector<std::uint8_t> data) {
    TKTokenConfiguration changed = *this;
    changed.values().configurationData = std::move(data);
    auto stored = saved(values_->save, changed);
    if (stored) {
        *this = std::move(changed);
    }
    return stored;
}

veltora::Result<void> TKTokenConfiguration::setKeychainItems(TKTokenKeychainCertificate certificate,
                                                             TKTokenKeychainKey key) {
    TKTokenConfiguration changed = *this;
    changed.values().certificate = std::move(certificate);
    changed.values().key = std::move(key);
    auto stored = saved(values_->save, changed);
    if (stored) {
        *this = std::move(changed);
    }
    return stored;
}

} // namespace quillet
