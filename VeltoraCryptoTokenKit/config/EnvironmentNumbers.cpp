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
    // from_chars takes a "-" but neither a "+" nor white space.
    const bool plus = text.starts_with('+');
    const char* first = text.data() + (plus ? 1 : 0);
    const char* last = text.data() + text.size();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || (plus && *first == '-')) {
        return std::nullopt;
    }
    return value;
}

} // namespace veltora
