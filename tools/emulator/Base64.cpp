#include "tools/emulator/Base64.h"

#include <array>
#include <cstdint>

namespace veltora::emulator {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
    const auto position = kAlphabet.find(c);
    return position == std::string_view::npos ? -1 : static_cast<int>(position);
}

} // namespace

std::string base64Encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        const std::size_t available = bytes.size() - i;
        if (available > 1) {
            group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        }
        if (available > 2) {
            group |= static_cast<std::uint8_t>(bytes[i + 2]);
        }
        text += kAlphabet[(group >> 18) & 0x3F];
        text += kAlphabet[(group >> 12) & 0x3F];
        text += available > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        text += available > 2 ? kAlphabet[group & 0x3F] : '=';
    }
    return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 2] == '=') {
            return std::nullopt;
        }
        std::array<int, 4> values{};
        for (std::size_t k = 0; k < 4 - padding; ++k) {
            values[k] = sextet(text[i + k]);
            if (values[k] < 0) {
                return std::nullopt;
            }
        }
        const std::uint32_t group = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
        bytes += static_cast<char>((group >> 16) & 0xFF);
        if (padding < 2) {
            bytes += static_cast<char>((group >> 8) & 0xFF);
        }
        if (padding < 1) {
            bytes += static_cast<char>(group & 0xFF);
        }
    }
    return bytes;
}

} // namespace veltora::emulator
