#pragma once

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"
#include "VeltoraCryptoTokenKit/log/DDAbstractLogger.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileInfo.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileManagerDefault.h"
#include "VeltoraCryptoTokenKit/log/LogFileWatcher.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace veltora {

// The rolling file sink: writes plain-text lines into the current log file of
// its manager's directory, under an exclusive flock per write, and starts a
// new file when the current one reaches its size limit or its age limit, or
// is deleted or renamed by someone else.
//
// The lines of one batch of the registry are written together, in order; an
// error line, and every line in the destructor and in flush(), is written
// before the call returns. Owned through std::shared_ptr and never released
// on its own queue.
class DDFileLogger : public DDAbstractLogger {
public:
    DDFileLogger(); // a manager for the default directory
    explicit DDFileLogger(std::shared_ptr<DDLogFileManagerDefault> logFileManager);
    ~DDFileLogger() override; // writes what is pending, stops the watcher, closes the file

    void logMessage(const DDLogMessage& message) override;
    void didLogBatch() override;
    bool canFlush() const override { return true; }
    // Writes what is pending and forces the file to disk, unless nothing was written since it last did.
    void flush() override;

    const std::shared_ptr<DDLogFileManagerDefault>& logFileManager() const { return manager_; }

    // 0 turns rolling by size off.
    std::uint64_t maximumFileSize() const { return maximumFileSize_.load(); }
    void setMaximumFileSize(std::uint64_t bytes) { maximumFileSize_.store(bytes); }
    // Seconds; 0 or less turns rolling by age off. A change applies to the open file at once.
    double rollingFrequency() const { return rollingFrequency_.load(); }
    void setRollingFrequency(double seconds);
    // When on, a process never continues a file left by an earlier one.
    bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
    void setDoNotReuseLogFiles(bool on) { doNotReuseLogFiles_.store(on); }
    bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool on) { appendNewline_.store(on); }

private:
    // Formats and converts the line into the pending bytes; false when it is not to be written.
    bool appendFormatted(const DDLogMessage& message);
    int currentLogFileHandle();
    std::optional<DDLogFileManagerDefault::OpenLogFile> chooseCurrentFile();
    FileDescriptor reuseFile(const DDLogFileInfo& newest);
    bool dueForArchiving(const DDLogFileInfo& file) const;
    void startWatching(const std::string& path);
    void checkWithoutWatcher();
    std::optional<LogFileWatcher::TimePoint> ageDueTime() const;
    void checkAge();
    void writePending();
    void rollLogFile();

    std::shared_ptr<DDLogFileManagerDefault> manager_;
    std::atomic<std::uint64_t> maximumFileSize_{1024 * 1024};
    std::atomic<double> rollingFrequency_{86400};
    std::atomic<bool> doNotReuseLogFiles_{false};
    std::atomic<bool> appendNewline_{true};

    // Touched on the sink's queue only.
    std::optional<DDLogFileInfo> currentFileInfo_;
    FileDescriptor currentFile_;
    std::uint64_t currentOffset_ = 0;
    bool unsynced_ = false;            // written to since the file was last forced to disk
    std::uint64_t fileGeneration_ = 0; // tells events of an earlier file apart
    std::unique_ptr<LogFileWatcher> watcher_;
    std::string pending_;
};

} // namespace veltora
