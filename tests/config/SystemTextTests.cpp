#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/UserAccount.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>

namespace veltora {
namespace {

TEST(ErrnoText, NamesKnownNumbersAndCountsUnknownOnes) {
    const std::pair<int, std::string> cases[] = {
        {ENOENT, "No such file or directory"},
        {EACCES, "Permission denied"},
        {123456, "Unknown error 123456"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(errnoText(error), text) << error;
    }
}

TEST(UserAccount, ReadsTheAccountDatabase) {
    // The reference read happens on this one thread only.
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    const auto account = UserAccount::lookUp(geteuid());
    ASSERT_TRUE(account);
    EXPECT_EQ(account->loginName, entry->pw_name);
    EXPECT_EQ(account->homeDirectory, entry->pw_dir);
    EXPECT_FALSE(UserAccount::lookUp(static_cast<uid_t>(2147483000))); // nobody has it
}

} // namespace
} // namespace veltora
