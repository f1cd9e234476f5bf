#include "Quillet/platform/TKTokenDriverConfiguration.h"

#include "Quillet/platform/TokenStore.h"
#include "VeltoraCryptoTokenKit/config/MainBundle.h"

#include <unistd.h>

namespace quillet {

namespace {

// Inside the module the driver is always there; a program sees it when the
// module is installed beside it.
bool moduleInstalled() {
    return veltora::MainBundle::isLoadedModule() ||
           !TKTokenDriverConfiguration::moduleBesideProgram().empty();
}

} // namespace

std::filesystem::path TKTokenDriverConfiguration::moduleBesideProgram() {
    const std::filesystem::path programDirectory =
        std::filesystem::path(veltora::MainBundle::bundlePath()).parent_path();
    for (const auto& module : {programDirectory.parent_path() / "lib" / "quillet-pkcs11.so",
                               programDirectory / QUILLET_INSTALLED_MODULE}) {
        if (::access(module.c_str(), R_OK) == 0) {
            return module.lexically_normal();
        }
    }
    return {};
}

TKTokenDriverConfiguration::TKTokenDriverConfiguration(std::string classID, std::filesystem::path directory)
    : classID_(std::move(classID)), directory_(std::move(directory)) {}

std::map<std::string, std::shared_ptr<TKTokenDriverConfiguration>>
TKTokenDriverConfiguration::driverConfigurations() {
    std::map<std::string, std::shared_ptr<TKTokenDriverConfiguration>> configurations;
    if (moduleInstalled()) {
        configurations.emplace(quilletClassID,
                               std::make_shared<TKTokenDriverConfiguration>(
                                   quilletClassID, TokenStore::rootDirectory() / quilletClassID));
    }
    return configurations;
}

std::map<std::string, std::shared_ptr<TKTokenConfiguration>>
TKTokenDriverConfiguration::tokenConfigurations() const {
    std::map<std::string, std::shared_ptr<TKTokenConfiguration>> configurations;
    for (auto& registration : tokenConfigurationList()) {
        const std::string instanceID = registration.instanceID();
        configurations[instanceID] = std::make_shared<TKTokenConfiguration>(std::move(registration));
    }
    return configurations;
}

std::vector<TKTokenConfiguration> TKTokenDriverConfiguration::tokenConfigurationList() const {
    return TokenStore(directory_).readAll();
}

std::shared_ptr<TKTokenConfiguration>
TKTokenDriverConfiguration::tokenConfiguration(const std::string& instanceID) const {
    auto registration = TokenStore(directory_).read(instanceID);
    return registration ? std::make_shared<TKTokenConfiguration>(std::move(*registration)) : nullptr;
}

veltora::Result<std::shared_ptr<TKTokenConfiguration>>
TKTokenDriverConfiguration::addTokenConfigurationForTokenInstanceID(const std::string& instanceID) {
    const TokenStore store(directory_);
    auto configuration = std::make_shared<TKTokenConfiguration>(store.blank());
    configuration->values().instanceID = instanceID;
    if (auto stored = store.write(*configuration); !stored) {
        return stored.error();
    }
    return configuration;
}

veltora::Result<void>
TKTokenDriverConfiguration::removeTokenConfigurationForTokenInstanceID(const std::string& instanceID) {
    return TokenStore(directory_).remove(instanceID);
}

} // namespace quillet
