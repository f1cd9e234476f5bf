#include "VeltoraCryptoTokenKit/base/UserAccount.h"

#include <pwd.h>

#include <cerrno>
#include <vector>

namespace veltora {

namespace {

// Entries larger than this are not real accounts.
constexpr std::size_t kLargestEntryBuffer = 1u << 20;

std::string textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

} // namespace

std::optional<UserAccount> UserAccount::lookUp(uid_t user) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    int status = 0;
    while ((status = getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < kLargestEntryBuffer) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0 || found == nullptr) {
        return std::nullopt;
    }
    return UserAccount{textOrEmpty(found->pw_name), textOrEmpty(found->pw_dir)};
}

} // namespace veltora
