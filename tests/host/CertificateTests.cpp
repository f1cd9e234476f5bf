#include "VeltoraCryptoTokenKit/app/Certificate.h"

#include <gtest/gtest.h>

namespace veltora {
namespace {

TEST(CertificateCell, ShowsTheFieldOfExactlyMatchingIdentifiersAndEmptyForAbsentFields) {
    Certificate row;
    row.commonName = "Build Signing";
    row.project = "project-1";
    row.signingPolicy = "release";
    row.expires = "2027-03-01 14:05:09 (UTC)";
    const struct {
        const char* identifier;
        std::optional<std::string> text;
    } cases[] = {
        {"commonname", "Build Signing"},
        {"project", "project-1"},
        {"signingpolicy", "release"},
        {"expires", "2027-03-01 14:05:09 (UTC)"},
        {"fingerprint", ""}, // absent field: an empty cell, no placeholder
        {"CommonName", std::nullopt},
        {"commonname ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [identifier, text] : cases) {
        EXPECT_EQ(row.cellText(identifier), text) << identifier;
    }
}

TEST(CertificateCell, EveryWindowColumnIdentifierSelectsAField) {
    const Certificate empty;
    for (const auto identifier : certificateColumnIdentifiers) {
        EXPECT_EQ(empty.cellText(identifier), "") << identifier;
    }
}

} // namespace
} // namespace veltora
