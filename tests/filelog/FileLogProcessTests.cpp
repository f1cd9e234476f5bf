#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

namespace veltora {
namespace {

using test::ChildProcess;
using test::TemporaryDirectory;

std::vector<std::string> writerArguments(const TemporaryDirectory& directory, const std::string& label,
                                         int count, bool hold = false) {
    std::vector<std::string> arguments{test::helperProgram("filelog_writer"), directory.path(), label,
                                       std::to_string(count)};
    if (hold) {
        arguments.emplace_back("--hold");
    }
    return arguments;
}

bool hasEveryLine(const std::string& content, const std::string& label, const std::string& kind, int count) {
    for (int i = 0; i < count; ++i) {
        if (content.find(label + " " + kind + " " + std::to_string(i) + "\n") == std::string::npos) {
            ADD_FAILURE() << "missing: " << label << " " << kind << " " << i;
            return false;
        }
    }
    return true;
}

TEST(FileLogProcesses, OneAfterTheOtherLeaveOnlyTheSecondsFile) {
    TemporaryDirectory directory;
    ASSERT_EQ(ChildProcess(writerArguments(directory, "first", 50)).wait(), 0);
    ASSERT_EQ(test::fileNames(directory.path()).size(), 1u);
    ASSERT_EQ(ChildProcess(writerArguments(directory, "second", 50)).wait(), 0);

    const auto names = test::fileNames(directory.path());
    ASSERT_EQ(names.size(), 1u);
    const std::string content = test::readFile(directory / names[0]);
    EXPECT_TRUE(hasEveryLine(content, "second", "line", 50));
    EXPECT_EQ(content.find("first"), std::string::npos);
}

TEST(FileLogProcesses, WritersAliveAtTheSameTimeKeepAllTheirLines) {
    TemporaryDirectory directory;
    ChildProcess first(writerArguments(directory, "first", 200, true));
    ASSERT_EQ(first.readLine(), "ready");
    ChildProcess second(writerArguments(directory, "second", 200, true));
    ASSERT_EQ(second.readLine(), "ready"); // its clean-up has run
    EXPECT_EQ(test::fileNames(directory.path()).size(), 2u);

    first.closeInput();
    second.closeInput();
    ASSERT_EQ(first.wait(), 0);
    ASSERT_EQ(second.wait(), 0);
    const std::string content = test::allContent(directory.path());
    EXPECT_TRUE(hasEveryLine(content, "first", "line", 200));
    EXPECT_TRUE(hasEveryLine(content, "first", "more", 200));
    EXPECT_TRUE(hasEveryLine(content, "second", "line", 200));
    EXPECT_TRUE(hasEveryLine(content, "second", "more", 200));

    // Once both have ended, the next writer's clean-up removes both files.
    ASSERT_EQ(ChildProcess(writerArguments(directory, "third", 1)).wait(), 0);
    EXPECT_EQ(test::fileNames(directory.path()).size(), 1u);
}

} // namespace
} // namespace veltora
