#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace veltora {

// Dates of the log files, always in UTC, to the millisecond.
class UtcDateText {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    // 2024-03-05--14-07-09-123, the date part of log file names.
    static std::string fileNameDate(TimePoint time);
    // The inverse of fileNameDate; nothing for any other text.
    static std::optional<TimePoint> parseFileNameDate(std::string_view text);
    // 2024/03/05 14:07:09:123, the timestamp of file lines; appended to `out`.
    static void appendLineTimestamp(std::string& out, TimePoint time);
};

} // namespace veltora
