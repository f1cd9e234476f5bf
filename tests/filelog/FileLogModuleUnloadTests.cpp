#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>

namespace veltora {
namespace {

std::size_t threadCount() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(FileLogModuleUnload, WritesQueuedLinesAndEndsTheSinksThreads) {
    test::TemporaryDirectory directory;
    const std::size_t threadsBefore = threadCount();
    void* handle = dlopen((std::string(VELTORA_BINARY_DIR) + "/lib/libfilelog_test_module.so").c_str(),
                          RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* logLines = reinterpret_cast<void (*)(const char*, int)>(dlsym(handle, "moduleLogLines"));
    ASSERT_NE(logLines, nullptr) << dlerror();
    logLines(directory.path().c_str(), 500);
    // The registry's queue, the sink's queue, its file watcher and the manager's clean-up.
    EXPECT_GT(threadCount(), threadsBefore);
    ASSERT_EQ(dlclose(handle), 0);

#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a helper thread of its own once threads have run.
    EXPECT_EQ(threadCount(), threadsBefore);
#endif
    const std::string content = test::allContent(directory.path());
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 500);
    EXPECT_NE(content.find("  module line 499\n"), std::string::npos);
}

} // namespace
} // namespace veltora
