#include "VeltoraCryptoTokenKit/log/DDFileLogger.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/FileContent.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileFormatterDefault.h"
#include "VeltoraCryptoTokenKit/log/LogFileWriterLock.h"
#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <typeinfo>
#include <unistd.h>

namespace veltora {

namespace {

// Lines waiting for the end of the queue's turn are written at once beyond this.
constexpr std::size_t kPendingLimit = 64 * 1024;
// Another writer holds the lock for one write; this is far beyond that.
constexpr auto lockWaitLimit = std::chrono::seconds(1);
constexpr int kReportedFaults = 10;

std::atomic<int> unexpectedFaults{0};

void reportFault(const std::string& description) {
    const int count = ++unexpectedFaults;
    if (count <= kReportedFaults) {
        processLog("DDFileLogger.logMessage: " + description);
    }
    if (count == kReportedFaults) {
        processLog("DDFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
    }
}

std::string withErrorNumber(int error) {
    return errnoText(error) + " (" + std::to_string(error) + ")";
}

// Bounded: a lock that never comes, or a file system without locks, must
// neither stall the sink for ever nor cost lines. False when the lines are to
// be written without the lock; the file is in append mode, so they still
// never overwrite another writer's.
bool lockForWrite(int fd) {
    const auto giveUp = std::chrono::steady_clock::now() + lockWaitLimit;
    for (bool first = true;; first = false) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error != EWOULDBLOCK) {
            processLog("DDFileLogger: Could not lock logfile, writing without the lock: " +
                       withErrorNumber(error));
            return false;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            processLog("DDFileLogger: Could not lock logfile within " +
                       std::to_string(std::chrono::milliseconds(lockWaitLimit).count()) +
                       " ms, writing without the lock");
            return false;
        }
        if (first) {
            processLog("DDFileLogger: Could not lock logfile, retrying in 1ms: " + withErrorNumber(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

DDFileLogger::DDFileLogger() : DDFileLogger(std::make_shared<DDLogFileManagerDefault>()) {}

DDFileLogger::DDFileLogger(std::shared_ptr<DDLogFileManagerDefault> logFileManager)
    : DDAbstractLogger("cocoa.lumberjack.fileLogger", std::make_shared<DDLogFileFormatterDefault>()),
      manager_(logFileManager ? std::move(logFileManager) : std::make_shared<DDLogFileManagerDefault>()) {
    manager_->setAttached();
}

DDFileLogger::~DDFileLogger() {
    // Runs the writes still queued; the watcher's events find the queue closed from here on.
    loggerQueue().stop();
    writePending();
    watcher_.reset();
}

void DDFileLogger::logMessage(const DDLogMessage& message) {
    try {
        const DDLogFormatter* formatter = currentFormatter().get();
        // The usual line goes straight into the pending bytes: no copy to make, nothing to convert.
        if (formatter != nullptr && typeid(*formatter) == typeid(DDLogFileFormatterDefault) &&
            DDFileLogPlainTextMessageSerializer::isPlainText(message.message)) {
            if (currentLogFileHandle() < 0) {
                return; // no file: the line is lost, and that was reported
            }
            DDLogFileFormatterDefault::appendLine(pending_, message);
            if (pending_.back() != '\n' && automaticallyAppendNewlineForCustomFormatters()) {
                pending_.push_back('\n');
            }
        } else if (!appendFormatted(message)) {
            return;
        }
        const std::uint64_t limit = maximumFileSize();
        // An error line may be the last before a crash; the size limit must end the file at this line.
        if (message.flag == DDLogFlag::error || pending_.size() >= kPendingLimit ||
            (limit != 0 && currentOffset_ + pending_.size() >= limit)) {
            writePending();
        }
    } catch (const std::exception& error) {
        pending_.clear();
        reportFault(error.what());
    }
}

bool DDFileLogger::appendFormatted(const DDLogMessage& message) {
    std::optional<std::string> text = message.message;
    if (const auto& formatter = currentFormatter()) {
        text = formatter->formatLogMessage(message);
    }
    if (!text || text->empty()) {
        return false;
    }
    if (text->back() != '\n' &&
        (*text == message.message || automaticallyAppendNewlineForCustomFormatters())) {
        text->push_back('\n');
    }
    if (currentLogFileHandle() < 0) {
        return false; // no file: the line is lost, and that was reported
    }
    pending_ += manager_->messageSerializer().dataForString(std::move(*text));
    return true;
}

void DDFileLogger::flush() {
    writePending();
    // A process's end flushes more than once (the module's finalisation, then the exit):
    // each forced write is dear, and one with nothing written since the last has nothing to force.
    if (!currentFile_.valid() || !unsynced_) {
        return;
    }
    if (::fsync(currentFile_.get()) != 0) {
        processLog("DDFileLogger: Failed to synchronize file: " + errnoText(errno));
        return;
    }
    unsynced_ = false;
}

void DDFileLogger::setRollingFrequency(double seconds) {
    rollingFrequency_.store(seconds);
    loggerQueue().sync([this] { checkAge(); });
}

// Every line of the batch goes out in one locked write.
void DDFileLogger::didLogBatch() {
    writePending();
}

int DDFileLogger::currentLogFileHandle() {
    if (currentFile_.valid()) {
        return currentFile_.get();
    }
    auto chosen = chooseCurrentFile();
    if (!chosen) {
        return -1;
    }
    currentFileInfo_.emplace(chosen->path);
    currentFile_ = std::move(chosen->file);
    const off_t end = ::lseek(currentFile_.get(), 0, SEEK_END);
    currentOffset_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    ++fileGeneration_;
    startWatching(chosen->path);
    return currentFile_.get();
}

std::optional<DDLogFileManagerDefault::OpenLogFile> DDFileLogger::chooseCurrentFile() {
    const std::vector<DDLogFileInfo> files = manager_->sortedLogFileInfos();
    if (!files.empty()) {
        const DDLogFileInfo& newest = files.front();
        const bool archived = newest.isArchived();
        if (!archived && !newest.isSymbolicLink() && !doNotReuseLogFiles() && !dueForArchiving(newest)) {
            if (FileDescriptor reused = reuseFile(newest); reused.valid()) {
                return DDLogFileManagerDefault::OpenLogFile{newest.filePath(), std::move(reused)};
            }
        } else if (!archived) {
            newest.markArchived();
        }
    }
    auto created = manager_->createNewLogFile();
    if (!created) {
        processLog("DDFileLogger: Failed to create new log file: " + created.error().description);
        reportFault(created.error().description);
        return std::nullopt;
    }
    return std::move(created).value();
}

FileDescriptor DDFileLogger::reuseFile(const DDLogFileInfo& newest) {
    FileDescriptor file(::open(newest.filePath().c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (file.valid()) {
        LogFileWriterLock::hold(file.get());
    }
    return file;
}

bool DDFileLogger::dueForArchiving(const DDLogFileInfo& file) const {
    const std::uint64_t limit = maximumFileSize();
    const double frequency = rollingFrequency();
    return (limit != 0 && file.fileSize() >= limit) || (frequency > 0 && file.age() >= frequency);
}

void DDFileLogger::startWatching(const std::string& path) {
    const std::uint64_t generation = fileGeneration_;
    // Events of a file already rolled are ignored.
    // Never waits for room: this sink's queue joins the watcher when it rolls the file.
    auto onQueue = [this, generation](void (DDFileLogger::*handle)()) {
        return [this, generation, handle] {
            loggerQueue().asyncWithoutWaiting([this, generation, handle] {
                if (generation == fileGeneration_) {
                    (this->*handle)();
                }
            });
        };
    };
    watcher_ = std::make_unique<LogFileWatcher>(
        path, currentFile_.get(),
        LogFileWatcher::Events{onQueue(&DDFileLogger::rollLogFile), onQueue(&DDFileLogger::checkAge)});
    watcher_->setDueTime(ageDueTime());
}

std::optional<LogFileWatcher::TimePoint> DDFileLogger::ageDueTime() const {
    const double frequency = rollingFrequency();
    const auto created = currentFileInfo_ ? currentFileInfo_->creationDate() : std::nullopt;
    if (frequency <= 0 || !created) {
        return std::nullopt;
    }
    using TimePoint = LogFileWatcher::TimePoint;
    if (frequency >= std::chrono::duration<double>(TimePoint::max() - *created).count()) {
        return TimePoint::max();
    }
    return *created +
           std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(frequency));
}

// Until its watcher watches the file (in the file's first second, or when its
// thread could not be started), the sink looks at each write for what the
// watcher would have told; without the thread it also starts a watcher again.
void DDFileLogger::checkWithoutWatcher() {
    if (!currentFile_.valid() || !watcher_ || watcher_->watching()) {
        return;
    }
    const std::string path = currentFileInfo_->filePath();
    if (LogFileWatcher::fileIsGone(currentFile_.get(), path)) {
        rollLogFile();
        return;
    }
    if (watcher_->running()) {
        return; // it keeps the due time
    }
    checkAge();
    if (currentFile_.valid()) {
        startWatching(path);
    }
}

// The age timer's check, with a second of leeway.
void DDFileLogger::checkAge() {
    if (!currentFile_.valid()) {
        return;
    }
    const double frequency = rollingFrequency();
    if (frequency > 0 && currentFileInfo_->age() + 1 >= frequency) {
        rollLogFile();
    } else if (watcher_) {
        watcher_->setDueTime(ageDueTime());
    }
}

void DDFileLogger::writePending() {
    if (pending_.empty()) {
        return;
    }
    checkWithoutWatcher();
    const int fd = currentLogFileHandle();
    std::string data;
    data.swap(pending_);
    if (fd < 0) {
        return;
    }
    const bool locked = lockForWrite(fd);
    if (::lseek(fd, 0, SEEK_END) < 0) {
        processLog("DDFileLogger: Failed to seek to end of file: " + errnoText(errno));
    }
    if (const int error = writeAll(fd, data); error != 0) {
        processLog("DDFileLogger: Failed to write data: " + errnoText(error));
    }
    unsynced_ = true;
    if (locked) {
        (void)::flock(fd, LOCK_UN);
    }
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset < 0) {
        processLog("DDFileLogger: Failed to get offset: " + errnoText(errno));
        return;
    }
    currentOffset_ = static_cast<std::uint64_t>(offset);
    const std::uint64_t limit = maximumFileSize();
    if (limit != 0 && currentOffset_ >= limit) {
        rollLogFile();
    }
}

void DDFileLogger::rollLogFile() {
    if (!currentFile_.valid()) {
        return;
    }
    watcher_.reset(); // it reads the descriptor
    if (::fsync(currentFile_.get()) != 0) {
        processLog("DDFileLogger: Failed to synchronize file: " + errnoText(errno));
    }
    if (const int error = currentFile_.close(); error != 0) {
        processLog("DDFileLogger: Failed to close file: " + errnoText(error));
    }
    unsynced_ = false; // the next file starts with nothing written
    currentFileInfo_->markArchived();
    currentFileInfo_.reset();
}

} // namespace veltora
