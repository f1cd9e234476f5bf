#include "VeltoraCryptoTokenKit/log/UtcDateText.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace veltora {

namespace {

using namespace std::chrono;

struct DateFields {
    int year;
    unsigned month, day, hour, minute, second, millisecond;
};

DateFields fieldsOf(UtcDateText::TimePoint time) {
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto day = floor<days>(milliseconds);
    const year_month_day date{day};
    const hh_mm_ss clock{milliseconds - day};
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<unsigned>(clock.hours().count()),
            static_cast<unsigned>(clock.minutes().count()),
            static_cast<unsigned>(clock.seconds().count()),
            static_cast<unsigned>(clock.subseconds().count())};
}

void appendDigits(std::string& out, unsigned value, int width) {
    std::array<char, 10> digits{};
    int count = 0;
    do {
        digits[static_cast<std::size_t>(count++)] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < static_cast<int>(digits.size()));
    for (int pad = count; pad < width; ++pad) {
        out.push_back('0');
    }
    while (count > 0) {
        out.push_back(digits[static_cast<std::size_t>(--count)]);
    }
}

void appendYear(std::string& out, int year) {
    if (year < 0) {
        out.push_back('-');
    }
    appendDigits(out, static_cast<unsigned>(year < 0 ? -year : year), 4);
}

// Year, month and day, then hour, minute and second, each followed by its separator.
void appendUpToSeconds(std::string& out, const DateFields& fields, char dateSeparator,
                       std::string_view beforeTime, char timeSeparator) {
    appendYear(out, fields.year);
    out.push_back(dateSeparator);
    appendDigits(out, fields.month, 2);
    out.push_back(dateSeparator);
    appendDigits(out, fields.day, 2);
    out.append(beforeTime);
    for (const unsigned part : {fields.hour, fields.minute, fields.second}) {
        appendDigits(out, part, 2);
        out.push_back(timeSeparator);
    }
}

// Reads exactly `width` decimal digits at `text[at]`.
std::optional<unsigned> digitsAt(std::string_view text, std::size_t at, std::size_t width) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

} // namespace

std::string UtcDateText::fileNameDate(TimePoint time) {
    const DateFields fields = fieldsOf(time);
    std::string text;
    text.reserve(24);
    appendUpToSeconds(text, fields, '-', "--", '-');
    appendDigits(text, fields.millisecond, 3);
    return text;
}

std::optional<UtcDateText::TimePoint> UtcDateText::parseFileNameDate(std::string_view text) {
    static constexpr std::string_view kShape = "dddd-dd-dd--dd-dd-dd-ddd";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] == '-' && text[i] != '-') {
            return std::nullopt;
        }
    }
    const auto year = digitsAt(text, 0, 4);
    const auto month = digitsAt(text, 5, 2);
    const auto day = digitsAt(text, 8, 2);
    const auto hour = digitsAt(text, 12, 2);
    const auto minute = digitsAt(text, 15, 2);
    const auto second = digitsAt(text, 18, 2);
    const auto millisecond = digitsAt(text, 21, 3);
    if (!year || !month || !day || !hour || !minute || !second || !millisecond || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    const year_month_day date{std::chrono::year{static_cast<int>(*year)}, std::chrono::month{*month},
                              std::chrono::day{*day}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return sys_days{date} + hours{*hour} + minutes{*minute} + seconds{*second} + milliseconds{*millisecond};
}

void UtcDateText::appendLineTimestamp(std::string& out, TimePoint time) {
    // Lines come many to a second: the part up to the seconds is made once a
    // second per thread. Trivially destructible, as a thread_local with a
    // destructor would keep a loaded module from ever being unloaded.
    struct SecondText {
        std::chrono::seconds::rep second;
        std::array<char, 32> text;
        std::size_t length;
    };
    thread_local SecondText cached{std::chrono::seconds::min().count(), {}, 0};
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto second = floor<std::chrono::seconds>(milliseconds);
    if (second.time_since_epoch().count() != cached.second) {
        std::string text;
        appendUpToSeconds(text, fieldsOf(time), '/', " ", ':');
        cached.length = std::min(text.size(), cached.text.size());
        std::copy_n(text.begin(), cached.length, cached.text.begin());
        cached.second = second.time_since_epoch().count();
    }
    out.append(cached.text.data(), cached.length);
    appendDigits(out, static_cast<unsigned>((milliseconds - second).count()), 3);
}

} // namespace veltora
