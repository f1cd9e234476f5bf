#include "Quillet/pkcs11/TextFields.h"

#include <algorithm>

namespace quillet {

namespace {

bool isContinuationByte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

} // namespace

std::string utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    std::size_t end = maxBytes;
    // Step back to the first byte of the sequence that does not fit.
    while (end > 0 && isContinuationByte(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    return std::string(text.substr(0, end));
}

void fillBlankPadded(std::span<CK_UTF8CHAR> field, std::string_view text) {
    const std::string fitting = utf8Prefix(text, field.size());
    std::fill(field.begin(), field.end(), static_cast<CK_UTF8CHAR>(' '));
    std::copy(fitting.begin(), fitting.end(), field.begin());
}

} // namespace quillet
