#include "VeltoraCryptoTokenKit/log/DDLogFileManagerDefault.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/base/UserAccount.h"
#include "VeltoraCryptoTokenKit/log/LogFileWriterLock.h"
#include "VeltoraCryptoTokenKit/log/ProcessLog.h"
#include "VeltoraCryptoTokenKit/log/UtcDateText.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace veltora {

namespace {

constexpr int kMaximumCreationErrors = 5;

std::mutex applicationNameMutex;
std::string applicationIdentifier;
std::optional<std::string> fixedApplicationName;

std::string processName() {
    return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
}

std::string environmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string homeDirectory() {
    if (std::string home = environmentText("HOME"); !home.empty()) {
        return home;
    }
    const auto account = UserAccount::lookUp(getuid());
    return account ? account->homeDirectory : std::string();
}

Error fileError(const std::string& path, int error) {
    return Error{std::string(errors::posix::kDomain), error, path + ": " + errnoText(error)};
}

// mkdir -p; the logs are the user's own business, so new folders are
// private, whatever the umask.
int createDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (prefix.empty()) {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0700) == 0) {
            (void)::chmod(prefix.c_str(), 0700);
        } else if (errno != EEXIST) {
            return errno;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return errno;
    }
    return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return !directory.empty() && directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::string variantName(const std::string& stem, int variant) {
    return variant == 1 ? stem + ".log" : stem + " " + std::to_string(variant) + ".log";
}

// Created 0600, so never more open than that; the umask may still have
// taken the user's own bits, which this gives back.
FileDescriptor privateFile(int fd) {
    if (fd >= 0) {
        (void)::fchmod(fd, 0600);
    }
    return FileDescriptor(fd);
}

// Creates the file so that it is never seen unmarked: an unnamed file, marked
// as being written, then linked under its name, which fails if the name is
// taken. Where the file system has no unnamed files, a plain exclusive create.
// Append mode: a line written without the lock never overwrites another writer's.
Result<DDLogFileManagerDefault::OpenLogFile> createExclusively(const std::string& directory,
                                                               const std::string& stem) {
    FileDescriptor unnamed =
        privateFile(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0600));
    if (unnamed.valid()) {
        LogFileWriterLock::hold(unnamed.get());
    }
    const std::string procPath = "/proc/self/fd/" + std::to_string(unnamed.get());
    for (int variant = 1;; ++variant) {
        const std::string path = joinPath(directory, variantName(stem, variant));
        if (unnamed.valid()) {
            if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                return DDLogFileManagerDefault::OpenLogFile{path, std::move(unnamed)};
            }
            if (errno == EEXIST) {
                continue;
            }
            // No /proc, or no links of unnamed files here: the plain way tells the real error.
            (void)unnamed.close();
        }
        FileDescriptor created = privateFile(
            ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (created.valid()) {
            LogFileWriterLock::hold(created.get());
            return DDLogFileManagerDefault::OpenLogFile{path, std::move(created)};
        }
        if (errno != EEXIST) {
            return fileError(path, errno);
        }
    }
}

// How many of the newest files the clean-up keeps.
std::size_t keptFileCount(const std::vector<DDLogFileInfo>& files, std::size_t maximumCount,
                          std::uint64_t diskQuota) {
    const std::size_t byCount = maximumCount == 0 ? files.size() : std::min(maximumCount, files.size());
    if (diskQuota == 0) {
        return byCount;
    }
    std::uint64_t total = 0;
    for (std::size_t index = 0; index < files.size(); ++index) {
        total += files[index].fileSize();
        if (total > diskQuota) {
            const std::size_t bound = maximumCount == 0 ? index : std::min(index, maximumCount);
            if (bound == 0) {
                return files[0].isArchived() ? 0 : 1;
            }
            return bound;
        }
    }
    return byCount;
}

} // namespace

DDLogFileManagerDefault::DDLogFileManagerDefault() : DDLogFileManagerDefault(std::string()) {}

DDLogFileManagerDefault::DDLogFileManagerDefault(std::string logsDirectory)
    : directory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)) {}

DDLogFileManagerDefault::~DDLogFileManagerDefault() {
    cleanUpQueue_.stop();
}

void DDLogFileManagerDefault::setApplicationIdentifier(std::string identifier) {
    std::lock_guard lock(applicationNameMutex);
    applicationIdentifier = std::move(identifier);
}

std::string DDLogFileManagerDefault::applicationName() {
    std::lock_guard lock(applicationNameMutex);
    if (!fixedApplicationName) {
        fixedApplicationName = applicationIdentifier.empty() ? processName() : applicationIdentifier;
    }
    return *fixedApplicationName;
}

std::string DDLogFileManagerDefault::defaultLogsDirectory() {
    std::string stateHome = environmentText("XDG_STATE_HOME");
    if (stateHome.empty() || stateHome.front() != '/') {
        const std::string home = homeDirectory();
        stateHome = home.empty() ? std::string() : joinPath(home, ".local/state");
    }
    if (stateHome.empty()) {
        const std::string temporary = environmentText("TMPDIR");
        stateHome = temporary.empty() || temporary.front() != '/' ? "/tmp" : temporary;
    }
    return joinPath(joinPath(stateHome, "veltora/logs"), processName());
}

std::string DDLogFileManagerDefault::logsDirectory() const {
    if (const int error = createDirectories(directory_); error != 0) {
        processLog("DDFileLogManagerDefault: Error creating logsDirectory: " +
                   fileError(directory_, error).description);
    }
    return directory_;
}

void DDLogFileManagerDefault::setMaximumNumberOfLogFiles(std::size_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) != count && attached_.load()) {
        startCleanUp();
    }
}

std::string DDLogFileManagerDefault::newLogFileName() const {
    return applicationName() + " " + UtcDateText::fileNameDate(std::chrono::system_clock::now()) + ".log";
}

bool DDLogFileManagerDefault::isLogFile(const std::string& fileName) const {
    const std::string prefix = applicationName() + " ";
    static constexpr std::string_view kExtension = ".log";
    return fileName.size() >= prefix.size() + kExtension.size() && fileName.starts_with(prefix) &&
           fileName.ends_with(kExtension);
}

std::vector<DDLogFileInfo> DDLogFileManagerDefault::sortedLogFileInfos() const {
    const std::string directory = logsDirectory();
    std::vector<DDLogFileInfo> files;
    {
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), &::closedir);
        if (!listing) {
            processLog("DDFileLogManagerDefault: Error listing log file directory: " +
                       fileError(directory, errno).description);
            return files;
        }
        while (const dirent* entry = ::readdir(listing.get())) {
            if (entry->d_type != DT_DIR && isLogFile(entry->d_name)) {
                files.emplace_back(joinPath(directory, entry->d_name));
            }
        }
    }
    // The date in the name orders the files; a name without one (the " 2"
    // variants) falls back on the file's creation date.
    std::vector<std::pair<DDLogFileInfo::TimePoint, std::size_t>> order;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const std::string name = files[index].fileName();
        const std::string stem = name.substr(0, name.size() - 4);
        auto date = UtcDateText::parseFileNameDate(std::string_view(stem).substr(stem.rfind(' ') + 1));
        if (!date) {
            date = files[index].creationDate();
        }
        order.emplace_back(date.value_or(DDLogFileInfo::TimePoint::min()), index);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<DDLogFileInfo> sorted;
    sorted.reserve(files.size());
    for (const auto& [date, index] : order) {
        sorted.push_back(std::move(files[index]));
    }
    return sorted;
}

Result<DDLogFileManagerDefault::OpenLogFile> DDLogFileManagerDefault::createNewLogFile() {
    const std::string directory = logsDirectory();
    for (int errors = 1;; ++errors) {
        const std::string name = newLogFileName();
        auto created = createExclusively(directory, name.substr(0, name.size() - 4));
        if (created) {
            startCleanUp();
            return created;
        }
        processLog("DDLogFileManagerDefault: Critical error while creating log file: " +
                   created.error().description);
        if (errors == kMaximumCreationErrors) {
            processLog("DDLogFileManagerDefault: Bailing file creation, encountered " +
                       std::to_string(errors) + " errors.");
            return created.error();
        }
    }
}

void DDLogFileManagerDefault::deleteOldLogFiles() {
    const std::vector<DDLogFileInfo> files = sortedLogFileInfos();
    const std::size_t kept = keptFileCount(files, maximumNumberOfLogFiles(), logFilesDiskQuota());
    for (std::size_t index = kept; index < files.size(); ++index) {
        const std::string& path = files[index].filePath();
        // Another process's current file: deleting it would lose its lines.
        if (LogFileWriterLock::isHeld(path)) {
            continue;
        }
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            processLog("DDLogFileManagerDefault: Error deleting file " + path);
        }
    }
}

void DDLogFileManagerDefault::startCleanUp() {
    cleanUpQueue_.async([this] { deleteOldLogFiles(); });
}

void DDLogFileManagerDefault::waitForCleanUp() {
    cleanUpQueue_.sync([] {});
}

} // namespace veltora
