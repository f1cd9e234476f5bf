// The window on Qt's offscreen platform, over a real delegate that talks to the
// emulator and writes a temporary store.

#include "VeltoraCryptoTokenKit/app/AppDelegate.h"
#include "VeltoraCryptoTokenKit/app/MainWindow.h"
#include "tests/app/HostProcess.h"
#include "tests/pkcs11/Pkcs11TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace veltora::test {
namespace {

using ::testing::StartsWith;
using namespace std::chrono_literals;

// One QApplication for the whole program, on the offscreen platform, with the
// log files of the program's one logging set-up in a temporary directory.
class OffscreenApplication : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        logs_ = std::make_unique<TemporaryDirectory>();
        setenv("XDG_STATE_HOME", logs_->path().c_str(), 1);
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override {
        application_.reset();
        logs_.reset();
    }

private:
    char name_[9] = "app_test";
    char* argv_[2] = {name_, nullptr};
    int argc_ = 1;
    std::unique_ptr<TemporaryDirectory> logs_;
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const offscreenApplication =
    ::testing::AddGlobalTestEnvironment(new OffscreenApplication);

class HostWindow : public ::testing::Test {
protected:
    void TearDown() override {
        delegate.applicationWillTerminate();
        if (emulator) {
            for (const auto& [name, value] : serviceEnvironment(*emulator)) {
                unsetenv(name.c_str());
            }
        }
    }

    void launch(std::vector<std::string> emulatorArguments) {
        emulator = std::make_unique<EmulatorProcess>(std::move(emulatorArguments));
        for (const auto& [name, value] : serviceEnvironment(*emulator)) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        delegate.applicationDidFinishLaunching();
    }

    QTableView& table() { return *window.certificateTableView(); }
    QAbstractItemModel& model() { return *table().model(); }
    QString cell(int row, int column) { return model().index(row, column).data().toString(); }
    std::string statusLine() { return window.statusBar()->currentMessage().toStdString(); }
    bool hintShown() { return window.findChild<QLabel*>("emptyTableHint")->isVisibleTo(&window); }
    std::size_t registrations() { return filesUnder(store.path()); }
    bool waitForEnd(QSignalSpy& spy, int count = 1) {
        return QTest::qWaitFor([&] { return spy.count() >= count; }, 60000);
    }

    quillet::test::TemporaryStore store;
    std::unique_ptr<EmulatorProcess> emulator;
    AppDelegate delegate;
    MainWindow window{delegate};
};

TEST_F(HostWindow, ColumnsCarryTheFiveIdentifiersWithReadableTitles) {
    ASSERT_EQ(table().horizontalHeader()->count(), 5);
    for (int column = 0; column < 5; ++column) {
        const QString identifier =
            model()
                .headerData(column, Qt::Horizontal, CertificateTableModel::ColumnIdentifierRole)
                .toString();
        EXPECT_EQ(identifier.toStdString(), certificateColumnIdentifiers[static_cast<std::size_t>(column)]);
        const QString title = model().headerData(column, Qt::Horizontal).toString();
        EXPECT_FALSE(title.isEmpty());
        EXPECT_NE(title, identifier);
    }
}

TEST_F(HostWindow, BeforeStartUpTheTableHasNoRowsAndShowsItsHint) {
    EXPECT_FALSE(delegate.certificateTableModel().rows().has_value());
    EXPECT_EQ(model().rowCount(), 0);
    window.show();
    EXPECT_TRUE(hintShown());
    EXPECT_FALSE(window.progressIndicator()->isVisibleTo(&window));
}

TEST_F(HostWindow, PassFillsTheTableInResponseOrderAndStopsTheIndicator) {
    QSignalSpy ended(&delegate, &AppDelegate::passEnded);
    QSignalSpy busy(&delegate, &AppDelegate::busyChanged);
    launch({"--generate", "3", "--key-bits", "1024"});
    ASSERT_TRUE(waitForEnd(ended));

    ASSERT_EQ(model().rowCount(), 3);
    for (int row = 0; row < 3; ++row) {
        const QString number = QString::number(row + 1);
        EXPECT_EQ(cell(row, 0), "policy-" + number); // commonname
        EXPECT_EQ(cell(row, 1), row % 2 == 0 ? "project-1" : "project-2");
        EXPECT_EQ(cell(row, 2), "policy-" + number);
        EXPECT_EQ(cell(row, 3).size(), 40); // SHA-1 in hex
        EXPECT_TRUE(cell(row, 4).endsWith(" (UTC)")) << cell(row, 4).toStdString();
    }
    // Hidden at start-up, shown for the pass, hidden at its end.
    ASSERT_EQ(busy.count(), 3);
    EXPECT_EQ(busy.at(1).at(0).toBool(), true);
    EXPECT_EQ(busy.at(2).at(0).toBool(), false);
    EXPECT_FALSE(window.progressIndicator()->isVisibleTo(&window));
    EXPECT_EQ(statusLine(), "3 certificates registered.");
    EXPECT_FALSE(hintShown());
    EXPECT_EQ(registrations(), 3u);
}

TEST_F(HostWindow, UnloadEmptiesTheTableAndTheStore) {
    QSignalSpy ended(&delegate, &AppDelegate::passEnded);
    launch({"--generate", "2", "--key-bits", "1024"});
    ASSERT_TRUE(waitForEnd(ended));
    ASSERT_EQ(registrations(), 2u);

    window.unloadAction()->trigger();
    EXPECT_EQ(model().rowCount(), 0);
    EXPECT_EQ(registrations(), 0u);
    EXPECT_TRUE(hintShown());
    EXPECT_EQ(statusLine(), "All certificates unloaded.");
}

struct FailedPass {
    const char* name;
    const char* policiesScript;
    const char* message;
    friend void PrintTo(const FailedPass& row, std::ostream* out) { *out << row.name; }
};

class HostWindowFailedPass : public HostWindow, public ::testing::WithParamInterface<FailedPass> {};

TEST_P(HostWindowFailedPass, StopsTheIndicatorAndShowsTheMessage) {
    QSignalSpy failed(&delegate, &AppDelegate::passFailed);
    launch({"--script", std::string("policies=") + GetParam().policiesScript});
    ASSERT_TRUE(waitForEnd(failed));
    EXPECT_THAT(failed.at(0).at(0).toString().toStdString(), StartsWith(GetParam().message));
    EXPECT_THAT(statusLine(), StartsWith(GetParam().message));
    EXPECT_FALSE(window.progressIndicator()->isVisibleTo(&window));
    EXPECT_EQ(window.progressIndicator()->maximum(), 1) << "still animating";
    EXPECT_EQ(model().rowCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostWindowFailedPass,
    ::testing::Values(FailedPass{"ServerError", "500",
                                 "Error fetching signing policies: HTTP request failed with status code 500"},
                      FailedPass{"Unauthorised", "401",
                                 "Error fetching signing policies: HTTP request failed with status code 401"},
                      FailedPass{"NoPolicies", "200:{}", "No signing policies found."}),
    [](const auto& info) { return info.param.name; });

TEST_F(HostWindow, StartDuringAPassRunsOnceMoreRightAfterIt) {
    QSignalSpy ended(&delegate, &AppDelegate::passEnded);
    launch({"--latency-ms", "1500"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.progressIndicator()->isVisibleTo(&window); }, 30000));
    for (int press = 0; press < 3; ++press) {
        window.startAction()->trigger();
    }
    ASSERT_TRUE(waitForEnd(ended, 2));
    QTest::qWait(2000); // no third pass comes
    EXPECT_EQ(ended.count(), 2);
    std::size_t policyRequests = 0;
    for (const auto& request : emulator->requests()) {
        policyRequests += request.at("method") == "GET" ? 1 : 0;
    }
    EXPECT_EQ(policyRequests, 2u);
    EXPECT_EQ(model().rowCount(), 1);
}

TEST_F(HostWindow, UnloadDuringAPassStopsItAndNothingOfItComesBack) {
    QSignalSpy ended(&delegate, &AppDelegate::passEnded);
    launch({"--latency-ms", "4000"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.progressIndicator()->isVisibleTo(&window); }, 30000));
    const auto pressed = std::chrono::steady_clock::now();
    window.unloadAction()->trigger();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, 3s) << "the request was not stopped";
    EXPECT_FALSE(delegate.isSynchronising());
    EXPECT_FALSE(window.progressIndicator()->isVisibleTo(&window));
    QTest::qWait(5000); // past the service's answer
    EXPECT_EQ(ended.count(), 0);
    EXPECT_EQ(model().rowCount(), 0);
    EXPECT_EQ(registrations(), 0u);
}

TEST_F(HostWindow, ClosingTheWindowQuits) {
    window.show();
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); }); // bounded: a window that does not quit
    EXPECT_EQ(QApplication::exec(), 0);
}

} // namespace
} // namespace veltora::test
