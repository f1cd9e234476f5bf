#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace veltora {

// An entry of the account database, read with getpwuid_r: safe on any thread,
// unlike getpwuid, whose answer every thread of the process shares.
struct UserAccount {
    std::string loginName;
    std::string homeDirectory;

    // None when the database does not know the user or cannot be read.
    static std::optional<UserAccount> lookUp(uid_t user);
};

} // namespace veltora
