#include "Quillet/platform/TKTokenConfiguration.h"

#include <atomic>
#include <cerrno>
#include <string_view>

namespace quillet {

// Made by the first thread that asks; one that loses the race drops its own.
// Without a lock, so that a fork can never leave one held.
class TKTokenConfiguration::DecodedConfiguration {
public:
    DecodedConfiguration() = default;
    DecodedConfiguration(const DecodedConfiguration&) = delete;
    DecodedConfiguration& operator=(const DecodedConfiguration&) = delete;
    ~DecodedConfiguration() { delete decoded_.load(); }

    const veltora::Result<veltora::Configuration>& of(const std::optional<std::vector<std::uint8_t>>& data) {
        if (const auto* known = decoded_.load(std::memory_order_acquire)) {
            return *known;
        }
        const std::string_view text =
            data ? std::string_view(reinterpret_cast<const char*>(data->data()), data->size())
                 : std::string_view();
        auto made = std::make_unique<const veltora::Result<veltora::Configuration>>(
            veltora::Configuration::fromJson(text));
        const veltora::Result<veltora::Configuration>* earlier = nullptr;
        if (decoded_.compare_exchange_strong(earlier, made.get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            return *made.release();
        }
        return *earlier;
    }

private:
    std::atomic<const veltora::Result<veltora::Configuration>*> decoded_{nullptr};
};

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
    return values_->decoded->of(values_->configurationData);
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
