#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// Standard Base64 (RFC 4648 alphabet, padded, no line breaks).
std::string base64Encoded(std::span<const std::uint8_t> bytes);

// Strict Base64: whole groups of four, '=' only as padding at the end; otherwise nothing.
std::optional<std::vector<std::uint8_t>> base64Decoded(std::string_view text);

// Decodes Base64 after dropping every character outside the alphabet and '='
// (line breaks, spaces, anything else). What remains must be whole padded
// groups of four with '=' only at the end; otherwise nothing. The empty text
// decodes to no bytes.
std::optional<std::vector<std::uint8_t>> base64DecodedIgnoringUnknownCharacters(std::string_view text);

// Two lowercase hexadecimal digits per byte, no separators.
std::string hexDescription(std::span<const std::uint8_t> bytes);

} // namespace quillet
