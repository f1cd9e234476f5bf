#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace veltora {

// One log file: its path, its attributes (read once, then kept) and its archived mark.
class DDLogFileInfo {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    // Kept in the extended attribute of the user name space.
    static constexpr const char* archivedAttributeName = "user.lumberjack.log.archived";

    struct Attributes {
        std::optional<TimePoint> creationDate; // birth time, else modification time
        TimePoint modificationDate;
        std::uint64_t fileSize = 0;
        bool isSymbolicLink = false;
        bool isDirectory = false;
    };

    explicit DDLogFileInfo(std::string filePath);

    const std::string& filePath() const { return filePath_; }
    std::string fileName() const;

    // Nothing when they cannot be read (reported on standard error).
    const std::optional<Attributes>& fileAttributes() const;
    std::optional<TimePoint> creationDate() const;
    std::uint64_t fileSize() const;
    bool isSymbolicLink() const;
    // Seconds since the file's creation; 0 when that is unknown.
    double age() const;

    bool isArchived() const;
    // A file already gone is left alone; any other failure is reported and leaves the file unmarked.
    void markArchived() const;

private:
    std::string filePath_;
    mutable std::optional<std::optional<Attributes>> attributes_;
};

} // namespace veltora
