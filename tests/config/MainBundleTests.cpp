#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"
#include "VeltoraCryptoTokenKit/config/MainBundle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace veltora {
namespace {

namespace fs = std::filesystem;

TEST(MainBundle, InAProgramTheBundleIsTheProgramAndItsArgumentsAreRead) {
    EXPECT_FALSE(MainBundle::isLoadedModule());
    EXPECT_EQ(MainBundle::bundlePath(), fs::canonical("/proc/self/exe").string());
    const auto arguments = MainBundle::arguments();
    ASSERT_FALSE(arguments.empty());
    EXPECT_EQ(fs::path(arguments.front()).filename(), "config_tests");

    // The default loader reads the real process afresh on every load.
    const auto file = testing::TempDir() + "real-process-" + std::to_string(getpid()) + ".json";
    std::ofstream(file) << R"({"OrganizationId":"org","ApiToken":"token"})";
    setenv("VELTORA_CONFIG_FILE", file.c_str(), 1);
    const auto result = ConfigHelper().readConfig();
    unsetenv("VELTORA_CONFIG_FILE");
    fs::remove(file);
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value().organizationId, "org");
    EXPECT_EQ(result.value().configFile, file);
}

TEST(MainBundle, InsideALoadedModuleTheBundleIsTheModuleAndOnlyTheProgramPathIsAnArgument) {
    const std::string module = std::string(VELTORA_BINARY_DIR) + "/lib/libconfig_test_module.so";
    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* isLoadedModule = reinterpret_cast<int (*)()>(dlsym(handle, "configModuleIsLoadedModule"));
    auto* bundlePath =
        reinterpret_cast<void (*)(char*, std::size_t)>(dlsym(handle, "configModuleBundlePath"));
    auto* arguments = reinterpret_cast<void (*)(char*, std::size_t)>(dlsym(handle, "configModuleArguments"));
    ASSERT_TRUE(isLoadedModule && bundlePath && arguments);

    char buffer[4096];
    EXPECT_EQ(isLoadedModule(), 1);
    bundlePath(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), fs::canonical(module).string());
    arguments(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), fs::canonical("/proc/self/exe").string() + "\n");
    dlclose(handle);
}

} // namespace
} // namespace veltora
