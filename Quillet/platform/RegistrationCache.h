#pragma once

#include "Quillet/platform/TKTokenConfiguration.h"

#include <optional>
#include <string>

namespace quillet {

// The store is read afresh for every signature, and decoding a registration
// (its JSON, its Base64 and above all its certificate) costs far more than
// reading the file. A decoded registration depends on nothing but the file's
// bytes and its directory, so the ones decoded are kept for the life of the
// process, a bounded number of them (the oldest go first). A registration the
// host rewrites has new bytes and is decoded anew.
class RegistrationCache {
public:
    static std::optional<TKTokenConfiguration> find(const std::string& directory,
                                                    const std::string& fileText);
    static void keep(const std::string& directory, const std::string& fileText,
                     const TKTokenConfiguration& decoded);
    // Drops every kept registration (when the module is finalised).
    static void forgetAll();
};

} // namespace quillet
