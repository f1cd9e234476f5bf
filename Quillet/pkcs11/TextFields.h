#pragma once

#include "Quillet/pkcs11/Cryptoki.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace quillet {

// The longest prefix of the text that fits in the byte count without cutting
// a UTF-8 sequence in two.
std::string utf8Prefix(std::string_view text, std::size_t maxBytes);

// Writes the text into a fixed-size info field, blank-padded, cut on a UTF-8 boundary.
void fillBlankPadded(std::span<CK_UTF8CHAR> field, std::string_view text);

} // namespace quillet
