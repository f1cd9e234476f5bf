#pragma once

#include "Quillet/platform/TKTokenConfiguration.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillet {

// The registrations of one token driver in the per-user registration store
// (VELTORA_TOKEN_STORE, else ${XDG_DATA_HOME:-$HOME/.local/share}/veltora/tokens).
class TKTokenDriverConfiguration {
public:
    // The class ID under which the module's token driver is registered.
    static constexpr const char* quilletClassID = "com.veltora.Quillet.TokenDriver";

    // Class ID to driver configuration. Holds the module's driver when the module
    // is installed (inside the module always; for a program, when its ../lib/
    // directory has the module); empty otherwise.
    static std::map<std::string, std::shared_ptr<TKTokenDriverConfiguration>> driverConfigurations();

    // The module in the program's ../lib/ directory (the build tree) or where cmake --install puts
    // it beside the program's bin/ (the install tree); empty when neither is readable.
    static std::filesystem::path moduleBesideProgram();

    const std::string& classID() const { return classID_; }

    // Instance ID to registration, read afresh from the store. Unreadable
    // entries are skipped with an error line.
    std::map<std::string, std::shared_ptr<TKTokenConfiguration>> tokenConfigurations() const;
    // The same registrations as a list, one per file in the store's own order,
    // for a caller that reads the store often: no map to build.
    std::vector<TKTokenConfiguration> tokenConfigurationList() const;
    // The registration of one instance ID, read afresh from its own file alone
    // (what signing needs); none when it is not registered or unreadable.
    std::shared_ptr<TKTokenConfiguration> tokenConfiguration(const std::string& instanceID) const;

    veltora::Result<std::shared_ptr<TKTokenConfiguration>>
    addTokenConfigurationForTokenInstanceID(const std::string& instanceID);
    veltora::Result<void> removeTokenConfigurationForTokenInstanceID(const std::string& instanceID);

    TKTokenDriverConfiguration(std::string classID, std::filesystem::path directory);

private:
    std::string classID_;
    std::filesystem::path directory_;
};

} // namespace quillet
