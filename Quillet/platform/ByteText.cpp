#include "Quillet/platform/ByteText.h"

#include <openssl/evp.h>

#include <algorithm>
#include <iterator>

namespace quillet {

namespace {

bool inBase64Alphabet(char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '+' || character == '/';
}

} // namespace

std::string base64Encoded(std::span<const std::uint8_t> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0'); // the encoder also writes a NUL
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::optional<std::vector<std::uint8_t>> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), inBase64Alphabet)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(3 * (text.size() / 4) + 1);
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(length) - padding); // the decoder counts padding as zero bytes
    return bytes;
}

std::optional<std::vector<std::uint8_t>> base64DecodedIgnoringUnknownCharacters(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    std::copy_if(text.begin(), text.end(), std::back_inserter(kept),
                 [](char character) { return inBase64Alphabet(character) || character == '='; });
    return base64Decoded(kept);
}

std::string hexDescription(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view kHexDigits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 15];
    }
    return text;
}

} // namespace quillet
