#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::size_t threadCount() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

std::size_t lineCount(const std::string& path) {
    std::ifstream file(path);
    std::size_t lines = 0;
    for (std::string line; std::getline(file, line);) {
        ++lines;
    }
    return lines;
}

TEST(ModuleUnload, FlushesQueuedLinesAndEndsEveryLogThread) {
    const std::string module = std::string(VELTORA_BINARY_DIR) + "/lib/liblog_test_module.so";
    const std::string path = testing::TempDir() + "module-unload-" + std::to_string(getpid()) + ".log";
    std::filesystem::remove(path);
    const std::size_t threadsBefore = threadCount();

    void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* logLines = reinterpret_cast<void (*)(const char*, int)>(dlsym(handle, "moduleLogLines"));
    ASSERT_NE(logLines, nullptr) << dlerror();
    logLines(path.c_str(), 200);
    EXPECT_GT(threadCount(), threadsBefore); // the module's logging queue and its sink's queue
    ASSERT_EQ(dlclose(handle), 0);

#ifndef __SANITIZE_THREAD__
    // ThreadSanitizer starts a helper thread of its own once threads have run.
    EXPECT_EQ(threadCount(), threadsBefore);
#endif
    EXPECT_EQ(lineCount(path), 200u);
    std::filesystem::remove(path);
}

} // namespace
