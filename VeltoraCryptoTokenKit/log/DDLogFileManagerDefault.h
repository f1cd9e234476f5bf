#pragma once

#include "VeltoraCryptoTokenKit/base/FileDescriptor.h"
#include "VeltoraCryptoTokenKit/base/Result.h"
#include "VeltoraCryptoTokenKit/log/DDFileLogPlainTextMessageSerializer.h"
#include "VeltoraCryptoTokenKit/log/DDLogFileInfo.h"
#include "VeltoraCryptoTokenKit/log/SerialQueue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltora {

// Names, creates, lists and deletes the log files of this application in one
// logs directory. Files of other applications there are never touched.
class DDLogFileManagerDefault {
public:
    // A log file (mode 0600) open for reading and appending, already marked as being written.
    struct OpenLogFile {
        std::string path;
        FileDescriptor file;
    };

    DDLogFileManagerDefault();                                   // the default directory
    explicit DDLogFileManagerDefault(std::string logsDirectory); // the default one when empty
    ~DDLogFileManagerDefault();                                  // finishes a clean-up under way
    DDLogFileManagerDefault(const DDLogFileManagerDefault&) = delete;
    DDLogFileManagerDefault& operator=(const DDLogFileManagerDefault&) = delete;

    // The reverse-DNS identifier of the deliverable, set by it before its
    // first log file is named. The application name is fixed on first use:
    // this identifier, else the process name.
    static void setApplicationIdentifier(std::string identifier);
    static std::string applicationName();
    // ${XDG_STATE_HOME:-$HOME/.local/state}/veltora/logs/<process name>, or
    // the same under the temporary directory when there is no home.
    static std::string defaultLogsDirectory();

    // Creates the directory and its parents, on every call.
    std::string logsDirectory() const;

    std::size_t maximumNumberOfLogFiles() const { return maximumNumberOfLogFiles_.load(); }
    // A different value on a manager in use by a file sink starts a clean-up.
    void setMaximumNumberOfLogFiles(std::size_t count);
    std::uint64_t logFilesDiskQuota() const { return logFilesDiskQuota_.load(); }
    void setLogFilesDiskQuota(std::uint64_t bytes) { logFilesDiskQuota_.store(bytes); }

    std::string newLogFileName() const;
    // "<application name> <anything>.log"
    bool isLogFile(const std::string& fileName) const;
    // This application's log files, newest first.
    std::vector<DDLogFileInfo> sortedLogFileInfos() const;

    // Starts a clean-up in the background when it succeeds.
    Result<OpenLogFile> createNewLogFile();
    // Deletes the files beyond the kept number and the disk quota, except
    // files that a live process is still writing.
    void deleteOldLogFiles();
    // Returns when the clean-ups started so far have finished.
    void waitForCleanUp();

    const DDFileLogPlainTextMessageSerializer& messageSerializer() const { return serializer_; }

    // Called by the file sink built on this manager.
    void setAttached() { attached_.store(true); }

private:
    void startCleanUp();

    std::string directory_;
    std::atomic<std::size_t> maximumNumberOfLogFiles_{5};
    std::atomic<std::uint64_t> logFilesDiskQuota_{20 * 1024 * 1024};
    std::atomic<bool> attached_{false};
    DDFileLogPlainTextMessageSerializer serializer_;
    SerialQueue cleanUpQueue_{"DDLogFileManagerDefault.cleanUp",
                              SerialQueue::Priority::background}; // last: joined before the rest goes
};

} // namespace veltora
