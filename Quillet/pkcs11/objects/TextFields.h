#pragma once

#include "Quillet/pkcs11/cryptoki/Cryptoki.h"

#include <span>
#include <string_view>

namespace quillet {

// Writes the text into a fixed-size info field, blank-padded, cut on a UTF-8 boundary.
void fillBlankPadded(std::span<CK_UTF8CHAR> field, std::string_view text);

} // namespace quillet
