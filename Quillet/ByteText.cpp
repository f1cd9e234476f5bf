#include "Quillet/ByteText.h"

#include <algorithm>
#include <array>

namespace quillet {

namespace {

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int notInAlphabet = -1;
constexpr int padding = -2;

constexpr std::array<int, 256> makeBase64Values() {
    std::array<int, 256> values{};
    values.fill(notInAlphabet);
    for (std::size_t i = 0; i < base64Alphabet.size(); ++i) {
        values[static_cast<unsigned char>(base64Alphabet[i])] = static_cast<int>(i);
    }
    values['='] = padding;
    return values;
}

constexpr std::array<int, 256> base64Values = makeBase64Values();

} // namespace

std::string base64Encoded(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t available = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (available > 1) {
            group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        }
        if (available > 2) {
            group |= bytes[i + 2];
        }
        text += base64Alphabet[(group >> 18) & 63];
        text += base64Alphabet[(group >> 12) & 63];
        text += available > 1 ? base64Alphabet[(group >> 6) & 63] : '=';
        text += available > 2 ? base64Alphabet[group & 63] : '=';
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> base64DecodedIgnoringUnknownCharacters(std::string_view text) {
    std::vector<int> sextets;
    std::size_t paddingCount = 0;
    for (const char character : text) {
        const int value = base64Values[static_cast<unsigned char>(character)];
        if (value == notInAlphabet) {
            continue;
        }
        if (value == padding) {
            ++paddingCount;
            continue;
        }
        if (paddingCount > 0) {
            return std::nullopt; // data after padding
        }
        sextets.push_back(value);
    }
    const std::size_t remainder = sextets.size() % 4;
    const bool wellPadded = (remainder == 0 && paddingCount == 0) || (remainder == 2 && paddingCount == 2) ||
                            (remainder == 3 && paddingCount == 1);
    if (!wellPadded) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(sextets.size() / 4 * 3 + 2);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < sextets.size(); ++i) {
        group = (group << 6) | static_cast<std::uint32_t>(sextets[i]);
        if (i % 4 == 3) {
            bytes.push_back(static_cast<std::uint8_t>(group >> 16));
            bytes.push_back(static_cast<std::uint8_t>(group >> 8));
            bytes.push_back(static_cast<std::uint8_t>(group));
            group = 0;
        }
    }
    if (remainder == 2) {
        bytes.push_back(static_cast<std::uint8_t>(group >> 4));
    } else if (remainder == 3) {
        bytes.push_back(static_cast<std::uint8_t>(group >> 10));
        bytes.push_back(static_cast<std::uint8_t>(group >> 2));
    }
    return bytes;
}

std::string hexDescription(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace quillet
