#include "VeltoraCryptoTokenKit/log/DDLogFileManagerDefault.h"
#include "VeltoraCryptoTokenKit/log/UtcDateText.h"
#include "tests/filelog/FileLogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <thread>

namespace veltora {
namespace {

using test::TemporaryDirectory;

std::string app() {
    return DDLogFileManagerDefault::applicationName();
}

std::vector<std::string> sortedNames(const DDLogFileManagerDefault& manager) {
    std::vector<std::string> names;
    for (const auto& info : manager.sortedLogFileInfos()) {
        names.push_back(info.fileName());
    }
    return names;
}

TEST(DDLogFileManagerDefault, NamesDatesAndDefaultDirectory) {
    const auto date = UtcDateText::parseFileNameDate("2024-03-05--14-07-09-123");
    ASSERT_TRUE(date);
    EXPECT_EQ(UtcDateText::fileNameDate(*date), "2024-03-05--14-07-09-123");
    for (const char* bad : {"2024-03-05--14-07-09-12", "2024-02-30--14-07-09-123", "2024-03-05--24-07-09-123",
                            "2024-03-05-x14-07-09-123", "2", ""}) {
        EXPECT_FALSE(UtcDateText::parseFileNameDate(bad)) << bad;
    }
    EXPECT_EQ(app(), "filelog_tests");

    const std::regex name(app() + " \\d{4}-\\d{2}-\\d{2}--\\d{2}-\\d{2}-\\d{2}-\\d{3}\\.log");
    DDLogFileManagerDefault manager("/unused");
    EXPECT_TRUE(std::regex_match(manager.newLogFileName(), name)) << manager.newLogFileName();

    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string restore = savedState != nullptr ? savedState : "";
    ::setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(DDLogFileManagerDefault::defaultLogsDirectory(), "/state/veltora/logs/filelog_tests");
    ::setenv("XDG_STATE_HOME", "relative", 1);
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        EXPECT_EQ(DDLogFileManagerDefault::defaultLogsDirectory(),
                  std::string(home) + "/.local/state/veltora/logs/filelog_tests");
    }
    if (savedState != nullptr) {
        ::setenv("XDG_STATE_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
}

TEST(DDLogFileManagerDefault, ListsOnlyThisApplicationsFilesNewestFirst) {
    TemporaryDirectory directory;
    const std::string older = app() + " 2023-01-01--00-00-00-000.log";
    const std::string newer = app() + " 2024-01-01--00-00-00-000.log";
    const std::string variant = app() + " 2020-01-01--00-00-00-000 2.log"; // sorts by creation: now
    const std::vector<std::string> foreign = {app() + "x 2025-01-01--00-00-00-000.log",
                                              app() + " 2025-01-01--00-00-00-000.txt",
                                              "other " + app() + " 2025-01-01--00-00-00-000.log"};
    for (const auto& name : foreign) {
        test::writeFile(directory / name, "not ours");
    }
    test::writeFile(directory / older, "old");
    test::writeFile(directory / newer, "new");
    test::writeFile(directory / variant, "variant");

    DDLogFileManagerDefault manager(directory.path());
    EXPECT_EQ(sortedNames(manager), (std::vector<std::string>{variant, newer, older}));

    manager.setMaximumNumberOfLogFiles(1);
    manager.deleteOldLogFiles();
    std::vector<std::string> left = foreign;
    left.push_back(variant);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(test::fileNames(directory.path()), left);
}

TEST(DDLogFileManagerDefault, DiskQuotaBoundsTheKeptFiles) {
    TemporaryDirectory directory;
    DDLogFileManagerDefault manager(directory.path());
    manager.setMaximumNumberOfLogFiles(0);
    const auto make = [&](int year, std::size_t size) {
        const std::string path =
            directory / (app() + " " + std::to_string(year) + "-01-01--00-00-00-000.log");
        test::writeFile(path, std::string(size, 'x'));
        return path;
    };
    make(2021, 40);
    make(2022, 40);
    make(2023, 40);
    make(2024, 40);
    manager.setLogFilesDiskQuota(100); // exceeded at the third file
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFileInfos().size(), 2u);

    manager.setMaximumNumberOfLogFiles(1); // the smaller bound wins
    manager.setLogFilesDiskQuota(1000);
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFileInfos().size(), 1u);

    // The newest file alone over the quota stays while it is not archived.
    manager.setMaximumNumberOfLogFiles(0);
    const std::string big = make(2025, 500);
    manager.setLogFilesDiskQuota(100);
    manager.deleteOldLogFiles();
    EXPECT_EQ(sortedNames(manager), std::vector<std::string>{DDLogFileInfo(big).fileName()});
    DDLogFileInfo(big).markArchived();
    manager.deleteOldLogFiles();
    EXPECT_TRUE(manager.sortedLogFileInfos().empty());
}

TEST(DDLogFileManagerDefault, CreatesNameVariantsAndNeverDeletesAFileBeingWritten) {
    TemporaryDirectory directory;
    DDLogFileManagerDefault manager(directory.path());
    manager.setMaximumNumberOfLogFiles(1);
    std::vector<DDLogFileManagerDefault::OpenLogFile> open;
    for (int i = 0; i < 4; ++i) {
        auto created = manager.createNewLogFile();
        ASSERT_TRUE(created);
        EXPECT_TRUE(created.value().file.valid());
        EXPECT_EQ(test::readFile(created.value().path), "");
        open.push_back(std::move(created).value());
    }
    manager.waitForCleanUp();
    // All were made within a few milliseconds: some carry " 2" and beyond; none
    // was deleted, since each is still open for writing.
    EXPECT_EQ(manager.sortedLogFileInfos().size(), 4u);

    open.erase(open.begin(), open.begin() + 3); // three writers end
    manager.deleteOldLogFiles();
    const auto left = manager.sortedLogFileInfos();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].filePath(), open[0].path);
}

} // namespace
} // namespace veltora
