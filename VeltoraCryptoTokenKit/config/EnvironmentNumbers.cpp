#include "VeltoraCryptoTokenKit/config/EnvironmentNumbers.h"

#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace veltora {

namespace {

locale_t posixLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<float> parseEnvironmentFloat(const std::string& text) {
    if (text.empty() || isSpace(text.front()) || posixLocale() == static_cast<locale_t>(nullptr)) {
        return std::nullopt;
    }
    char* end = nullptr;
    const float value = strtof_l(text.c_str(), &end, posixLocale());
    if (end != text.c_str() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> parseEnvironmentInteger(const std::string& text) {
    std::size_t start = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        start = 1;
    }
    if (start == text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!isDigit(text[i])) {
            return std::nullopt;
        }
    }
    // from_chars takes "-" but not "+"; the digits were checked above.
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace veltora
