#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace veltora {

// One row of the certificate table: five optional texts, all absent at first.
struct Certificate {
    std::optional<std::string> commonName;
    std::optional<std::string> fingerprint;
    std::optional<std::string> project;
    std::optional<std::string> signingPolicy;
    std::optional<std::string> expires;

    // What a cell of the column shows: the field's text, "" when the field is absent, and nothing
    // (an unfilled cell) for an identifier that is not exactly one of the five.
    std::optional<std::string> cellText(std::string_view columnIdentifier) const;

    bool operator==(const Certificate&) const = default;
};

// The five column identifiers, in the window's column order.
inline constexpr std::array<std::string_view, 5> certificateColumnIdentifiers{
    "commonname", "project", "signingpolicy", "fingerprint", "expires"};

} // namespace veltora
