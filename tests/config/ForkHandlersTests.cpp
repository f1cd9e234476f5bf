#include "VeltoraCryptoTokenKit/base/ForkHandlers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace veltora {
namespace {

// What the handlers ran, in order: "P" prepare, "p" parent, "c" child, each
// followed by its stage's letter.
std::string ran;

template <char Stage> ForkHandlers recording() {
    return {[] { ran += std::string("P") + Stage; }, [] { ran += std::string("p") + Stage; },
            [] { ran += std::string("c") + Stage; }};
}

// Locks are taken in the written order whatever order the components were
// first used in: the module's before the registration cache's, though the
// cache installs its handlers first. Neither component is in this program.
TEST(ForkHandlers, RunInTheWrittenOrderAndAfterTheForkInReverse) {
    installForkHandlers(ForkStage::registrationCache, recording<'C'>());
    installForkHandlers(ForkStage::pkcs11Module, recording<'M'>());
    installForkHandlers(ForkStage::pkcs11Module, recording<'X'>()); // the first installation counts
    ran.clear();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(ran == "PMPCcCcM" ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's order was wrong";
    EXPECT_EQ(ran, "PMPCpCpM");
}

} // namespace
} // namespace veltora
