#include "Quillet/platform/TKTokenConfiguration.h"

#include "Quillet/platform/TokenStore.h"

#include <atomic>
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

TKTokenConfiguration::TKTokenConfiguration() : decoded_(std::make_shared<DecodedConfiguration>()) {}

veltora::Result<veltora::Configuration> TKTokenConfiguration::decodedConfiguration() const {
    if (!decoded_) { // moved from
        return DecodedConfiguration().of(configurationData_);
    }
    return decoded_->of(configurationData_);
}

void TKTokenConfiguration::replaceConfigurationData(std::optional<std::vector<std::uint8_t>> data) {
    configurationData_ = std::move(data);
    decoded_ = std::make_shared<DecodedConfiguration>();
}

veltora::Result<void> TKTokenConfiguration::setConfigurationData(std::vector<std::uint8_t> data) {
    TKTokenConfiguration changed = *this;
    changed.replaceConfigurationData(std::move(data));
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
