#include "VeltoraCryptoTokenKit/log/DDLogFileInfo.h"

#include "VeltoraCryptoTokenKit/base/ErrnoText.h"
#include "VeltoraCryptoTokenKit/log/ProcessLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace veltora {

namespace {

DDLogFileInfo::TimePoint timeOf(const struct statx_timestamp& stamp) {
    return DDLogFileInfo::TimePoint(std::chrono::duration_cast<DDLogFileInfo::TimePoint::duration>(
        std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

std::optional<DDLogFileInfo::Attributes> readAttributes(const std::string& path) {
    struct statx status {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        processLog("DDLogFileInfo: Failed to read file attributes: " + path + ": " + errnoText(errno));
        return std::nullopt;
    }
    DDLogFileInfo::Attributes attributes;
    attributes.modificationDate = timeOf(status.stx_mtime);
    // Where the file system keeps no birth time, the modification time stands in.
    attributes.creationDate =
        (status.stx_mask & STATX_BTIME) != 0 ? timeOf(status.stx_btime) : attributes.modificationDate;
    attributes.fileSize = status.stx_size;
    attributes.isSymbolicLink = S_ISLNK(status.stx_mode);
    attributes.isDirectory = S_ISDIR(status.stx_mode);
    return attributes;
}

} // namespace

DDLogFileInfo::DDLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

std::string DDLogFileInfo::fileName() const {
    const auto slash = filePath_.rfind('/');
    return slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
}

const std::optional<DDLogFileInfo::Attributes>& DDLogFileInfo::fileAttributes() const {
    if (!attributes_) {
        attributes_ = readAttributes(filePath_);
    }
    return *attributes_;
}

std::optional<DDLogFileInfo::TimePoint> DDLogFileInfo::creationDate() const {
    const auto& attributes = fileAttributes();
    return attributes ? attributes->creationDate : std::nullopt;
}

std::uint64_t DDLogFileInfo::fileSize() const {
    const auto& attributes = fileAttributes();
    return attributes ? attributes->fileSize : 0;
}

bool DDLogFileInfo::isSymbolicLink() const {
    const auto& attributes = fileAttributes();
    return attributes && attributes->isSymbolicLink;
}

double DDLogFileInfo::age() const {
    const auto created = creationDate();
    if (!created) {
        return 0;
    }
    return std::chrono::duration<double>(std::chrono::system_clock::now() - *created).count();
}

bool DDLogFileInfo::isArchived() const {
    unsigned char value = 0;
    return getxattr(filePath_.c_str(), archivedAttributeName, &value, 1) == 1 && value == 1;
}

void DDLogFileInfo::markArchived() const {
    const unsigned char value = 1;
    if (setxattr(filePath_.c_str(), archivedAttributeName, &value, 1, 0) != 0 && errno != ENOENT) {
        processLog(std::string("DDLogFileInfo: setxattr(") + archivedAttributeName + ", " + filePath_ +
                   "): error = " + errnoText(errno));
    }
}

} // namespace veltora
