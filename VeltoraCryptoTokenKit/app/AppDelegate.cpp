#include "VeltoraCryptoTokenKit/app/AppDelegate.h"

#include "VeltoraCryptoTokenKit/config/VeltoraLogFactory.h"
#include "VeltoraCryptoTokenKit/log/DDLog.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileManagerDefault.h"
#include "VeltoraCryptoTokenKit/log/DDLogMacros.h"

#include <QMetaObject>

#include <iostream>
#include <utility>

namespace veltora {

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    std::cout << "app did finish launching" << std::endl;
    DDLogFileManagerDefault::setApplicationIdentifier(applicationIdentifier);
    VeltoraLogFactory::setupLogging();
    certificateService_.emplace();
    certificateService_->clearVeltoraTokens();
    runJob([this](std::stop_token stop, std::uint64_t generation) { return initConfig(stop, generation); });
}

void AppDelegate::applicationWillTerminate() {
    stopRunningJob();
    clearRegistrations();
    DDLog::sharedInstance().flushLog();
}

void AppDelegate::start() {
    if (pass_.running()) {
        startPending_ = true;
        return;
    }
    runJob(
        [this](std::stop_token stop, std::uint64_t generation) { return certificateSync(stop, generation); });
}

void AppDelegate::unloadCertificates() {
    const bool stoppedPass = stopRunningJob();
    clearRegistrations();
    certificateTableModel_.reloadData({});
    Q_EMIT certificatesUnloaded();
    if (stoppedPass) {
        Q_EMIT busyChanged(false); // the stopped pass will not end it
    }
}

void AppDelegate::runJob(JobBody body) {
    const std::uint64_t generation = ++generation_;
    pass_.start([this, generation, body = std::move(body)](std::stop_token stop) {
        auto outcome = body(stop, generation);
        postFromJob(generation, [this, outcome = std::move(outcome)] { jobEnded(outcome); });
    });
}

void AppDelegate::postFromJob(std::uint64_t generation, std::function<void()> work) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, work = std::move(work)] {
            if (generation == generation_) {
                work();
            }
        },
        Qt::QueuedConnection);
}

void AppDelegate::jobEnded(std::optional<SyncPassOutcome> outcome) {
    pass_.join(); // its last act was to post this
    if (outcome) {
        if (outcome->failure) {
            Q_EMIT passFailed(QString::fromStdString(*outcome->failure));
        } else {
            certificateTableModel_.reloadData(std::move(outcome->rows));
            Q_EMIT passEnded();
        }
        Q_EMIT busyChanged(false);
    }
    if (std::exchange(startPending_, false)) {
        start();
    }
}

std::optional<SyncPassOutcome> AppDelegate::initConfig(std::stop_token stop, std::uint64_t generation) {
    postFromJob(generation, [this] {
        Q_EMIT busyChanged(false);
        certificateTableModel_.reloadData({});
    });
    configHelper_.emplace();
    auto configuration = configHelper_->readConfig();
    if (!configuration) {
        const std::string message =
            "Error reading configuration " + configuration.error().localizedDescription();
        DDLogError(message);
        postFromJob(generation,
                    [this, message] { Q_EMIT configurationFailed(QString::fromStdString(message)); });
        return std::nullopt;
    }
    config_ = std::move(configuration).value();
    if (!config_->apiUrl || !config_->organizationId || !config_->apiToken) {
        return std::nullopt;
    }
    veltoraClient_ = std::make_unique<VeltoraClient>(*config_->apiUrl, *config_->organizationId,
                                                     *config_->apiToken, config_->timeouts);
    return certificateSync(stop, generation);
}

std::optional<SyncPassOutcome> AppDelegate::certificateSync(std::stop_token stop, std::uint64_t generation) {
    postFromJob(generation, [this] { Q_EMIT busyChanged(true); });
    const CertificateSync sync(veltoraClient_.get(), config_,
                               certificateService_ ? &*certificateService_ : nullptr);
    return sync.certificateSync(stop);
}

bool AppDelegate::stopRunningJob() {
    startPending_ = false;
    if (!pass_.running()) {
        return false;
    }
    ++generation_; // nothing the stopped job still posts reaches the table
    if (!pass_.stop(kStopWait)) {
        DDLogWarn("Synchronisation did not stop in time; clearing the registrations while it ends");
    }
    return true;
}

void AppDelegate::clearRegistrations() {
    if (!certificateService_) {
        return;
    }
    certificateService_->clearVeltoraTokens();
    if (pass_.running()) {
        // A pass that missed the stop wait may still finish one registration: wait it out, clear again.
        pass_.join();
        certificateService_->clearVeltoraTokens();
    }
}

} // namespace veltora
