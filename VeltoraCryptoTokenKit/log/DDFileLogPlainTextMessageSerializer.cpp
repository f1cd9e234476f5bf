#include "VeltoraCryptoTokenKit/log/DDFileLogPlainTextMessageSerializer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace veltora {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when there is none.
std::size_t validSequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t offset) { return static_cast<unsigned char>(text[at + offset]); };
    const unsigned char lead = byte(0);
    const std::size_t left = text.size() - at;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return left >= 2 && isContinuation(byte(1)) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !isContinuation(byte(1)) || !isContinuation(byte(2))) {
            return 0;
        }
        const bool overlong = lead == 0xE0 && byte(1) < 0xA0;
        const bool surrogate = lead == 0xED && byte(1) >= 0xA0;
        return overlong || surrogate ? 0 : 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !isContinuation(byte(1)) || !isContinuation(byte(2)) || !isContinuation(byte(3))) {
            return 0;
        }
        const bool overlong = lead == 0xF0 && byte(1) < 0x90;
        const bool beyondUnicode = lead == 0xF4 && byte(1) >= 0x90;
        return overlong || beyondUnicode ? 0 : 4;
    }
    return 0;
}

} // namespace

// Eight bytes at a time: the top bit of any of them marks a byte beyond ASCII.
bool DDFileLogPlainTextMessageSerializer::isPlainText(const std::string& text) {
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + at, 8);
        if ((word & 0x8080808080808080ull) != 0) {
            return false;
        }
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string DDFileLogPlainTextMessageSerializer::dataForString(std::string text) const {
    // Nearly every line is plain ASCII: hand it on as it is.
    if (isPlainText(text)) {
        return text;
    }
    std::string data;
    data.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = validSequenceLength(text, at);
        if (length == 0) {
            data.append(kReplacementCharacter);
            ++at;
        } else {
            data.append(text, at, length);
            at += length;
        }
    }
    return data;
}

} // namespace veltora
