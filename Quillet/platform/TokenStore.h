#pragma once

#include "Quillet/platform/TKTokenConfiguration.h"
#include "VeltoraCryptoTokenKit/base/Result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillet {

// The registrations of one token driver as files in a directory of the
// per-user store. The host writes, the module reads from another process:
// every write replaces a whole file atomically, so a reader never sees half a
// registration. Directories are 0700 and files 0600 (they hold the API token),
// and no symbolic link is followed.
class TokenStore {
public:
    // VELTORA_TOKEN_STORE when set and not empty, else ${XDG_DATA_HOME:-$HOME/.local/share}/veltora/tokens.
    static std::filesystem::path rootDirectory();

    explicit TokenStore(std::filesystem::path driverDirectory) : directory_(std::move(driverDirectory)) {}

    veltora::Result<void> write(const TKTokenConfiguration& configuration) const;
    veltora::Result<void> remove(const std::string& instanceID) const;
    // Every readable registration; an unreadable file is skipped with an error line.
    std::vector<TKTokenConfiguration> readAll() const;
    // The registration of one instance ID, from its own file alone: the same
    // as the one readAll() would give for it.
    std::optional<TKTokenConfiguration> read(const std::string& instanceID) const;

    // Drops what earlier reads kept to be quick; the module calls it when finalised.
    static void forgetKeptReads();

    // Any instance ID maps to a file name of its own: hex, or a hash when that is too long.
    static std::string fileNameFor(const std::string& instanceID);

    // An empty registration whose setters save into this store.
    TKTokenConfiguration blank() const;

    // One registration file's text as a registration of this directory; nothing,
    // and the reason in problem, when the text is not one.
    std::optional<TKTokenConfiguration> decode(const std::string& text, std::string& problem) const;

private:
    int openStoreDirectory() const;
    // The registration in the store's file `name`, kept from an earlier read
    // while the file is unchanged; nothing, and the reason in problem (empty
    // when the file is not there), when it is not one.
    std::optional<TKTokenConfiguration> load(int directoryFd, const std::string& name,
                                             std::string& problem) const;

    std::filesystem::path directory_;
};

inline constexpr const char* kTokenStoreErrorDomain = veltora::errors::token::kTokenStoreDomain.data();

} // namespace quillet
