#pragma once

#include "VeltoraCryptoTokenKit/app/CertificateService.h"
#include "VeltoraCryptoTokenKit/app/CertificateSync.h"
#include "VeltoraCryptoTokenKit/app/CertificateTableModel.h"
#include "VeltoraCryptoTokenKit/app/PassThread.h"
#include "VeltoraCryptoTokenKit/client/VeltoraClient.h"
#include "VeltoraCryptoTokenKit/config/ConfigHelper.h"
#include "VeltoraCryptoTokenKit/config/Configuration.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace veltora {

// Owns everything the host does: logging set-up, the certificate service, the
// configuration, the service client and the table's rows. Lives on the main
// thread; start-up and each synchronisation pass run on a background thread,
// one at a time, and hand their results back to the main thread. Knows no
// widget: a window or the headless reporter follows its signals.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // How long quitting or unloading waits for a running pass to stop.
    static constexpr std::chrono::milliseconds kStopWait{5000};
    // The name of the host's log files.
    static constexpr const char* applicationIdentifier = "com.veltora.VeltoraCryptoTokenKit";

    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override; // a running pass is stopped and joined; registrations stay

    // Once, from the running event loop: prints the launch line, sets up logging,
    // clears stale registrations and starts the start-up job.
    void applicationDidFinishLaunching();
    // At quit, on the main thread: stops a running pass, then clears every registration.
    void applicationWillTerminate();

    CertificateTableModel& certificateTableModel() { return certificateTableModel_; }
    bool isSynchronising() const { return pass_.running(); }

public Q_SLOTS:
    // Synchronises; while a pass runs, once more right after it.
    void start();
    // Stops a running pass, clears every registration and empties the table.
    void unloadCertificates();

Q_SIGNALS:
    // The progress indicator: shown and animating, or stopped and hidden.
    void busyChanged(bool busy);
    // A pass ended normally; the table holds its rows.
    void passEnded();
    // A pass ended early; the message as logged.
    void passFailed(const QString& message);
    // Start-up could not read the configuration; the message as logged.
    void configurationFailed(const QString& message);
    void certificatesUnloaded();

private:
    using JobBody = std::function<std::optional<SyncPassOutcome>(std::stop_token, std::uint64_t generation)>;

    void runJob(JobBody body);
    // Runs on the main thread unless a later stop made the job's generation stale.
    void postFromJob(std::uint64_t generation, std::function<void()> work);
    void jobEnded(std::optional<SyncPassOutcome> outcome);
    // Background steps.
    std::optional<SyncPassOutcome> initConfig(std::stop_token stop, std::uint64_t generation);
    std::optional<SyncPassOutcome> certificateSync(std::stop_token stop, std::uint64_t generation);
    // True when a job was running.
    bool stopRunningJob();
    void clearRegistrations();

    CertificateTableModel certificateTableModel_;
    std::optional<CertificateService> certificateService_;
    // Written by the start-up job only, read once it has been joined.
    std::optional<ConfigHelper> configHelper_;
    std::unique_ptr<VeltoraClient> veltoraClient_;
    std::optional<Configuration> config_;

    std::uint64_t generation_ = 0; // main thread only
    bool startPending_ = false;    // main thread only
    PassThread pass_;              // last: joined before the fields its job uses go
};

} // namespace veltora
