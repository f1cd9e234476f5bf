#include "Quillet/platform/TKTokenConfiguration.h"

#include "VeltoraCryptoTokenKit/base/MadeOnce.h"

#include <cerrno>
#include <string_view>

namespace quillet {

class TKTokenConfiguration::DecodedConfiguration
    : public veltora::MadeOnce<veltora::Result<veltora::Configuration>> {};

namespace {

veltora::Result<void> saved(const TKTokenConfiguration::Save& save, const TKTokenConfiguration& changed) {
    if (!save) {
        return veltora::Error{"TKTokenConfiguration", EINVAL, "The registration belongs to no store."};
    }
    return save(changed);
}

} // namespace

std::shared_ptr<TKTokenConfiguration::DecodedConfiguration> TKTokenConfiguration::newDecodedConfiguration() {
    return std::make_shared<DecodedConfiguration>();
}

veltora::Result<veltora::Configuration> TKTokenConfiguration::decodedConfiguration() const {
    const auto& data = values_->configurationData;
    return values_->decoded->get([&data] {
        const std::string_view text =
            data ? std::string_view(reinterpret_cast<const char*>(data->data()), data->size())
                 : std::string_view();
        return veltora::Configuration::fromJson(text);
    });
}

TKTokenConfiguration::Values& TKTokenConfiguration::values() {
    if (values_.use_count() > 1) {
        values_ = std::make_shared<Values>(*values_);
    }
    return *values_;
}

void TKTokenConfiguration::replaceConfigurationData(std::optional<std::vector<std::uint8_t>> data) {
    Values& own = values();
    own.configurationData = std::move(data);
    own.decoded = newDecodedConfiguration();
}

veltora::Result<void> TKTokenConfiguration::setConfigurationData(std::vector<std::uint8_t> data) {
    TKTokenConfiguration changed = *this;
    changed.replaceConfigurationData(std::move(data));
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
