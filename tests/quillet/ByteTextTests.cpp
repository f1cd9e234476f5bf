#include "Quillet/platform/ByteText.h"

#include <gtest/gtest.h>

namespace quillet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

TEST(ByteText, Base64RoundTripsEveryLengthAndByte) {
    EXPECT_EQ(base64Encoded(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encoded(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encoded(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encoded({}), "");
    Bytes all;
    for (int value = 0; value < 256; ++value) {
        all.push_back(static_cast<std::uint8_t>(value));
    }
    for (std::size_t length = 0; length <= all.size(); length += 37) {
        const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(base64DecodedIgnoringUnknownCharacters(base64Encoded(part)), part) << length;
    }
}

TEST(ByteText, Base64DecodingSkipsForeignCharactersButNotBrokenGroups) {
    EXPECT_EQ(base64DecodedIgnoringUnknownCharacters("Zm9v\r\nYm Fy\t"), bytesOf("foobar"));
    EXPECT_EQ(base64DecodedIgnoringUnknownCharacters("Z-m_8=!"), bytesOf("fo"));
    EXPECT_EQ(base64DecodedIgnoringUnknownCharacters("Zg= =\n"), bytesOf("f"));
    EXPECT_EQ(base64DecodedIgnoringUnknownCharacters(""), Bytes{});
    EXPECT_EQ(base64DecodedIgnoringUnknownCharacters(" \r\n"), Bytes{});
    for (const char* broken : {"a", "abc=d", "Zm8", "Zg=", "Z===", "Zm9v=", "Zg==Zg==", "====", "Zm9vY"}) {
        EXPECT_FALSE(base64DecodedIgnoringUnknownCharacters(broken).has_value()) << broken;
    }
}

TEST(ByteText, HexDescriptionIsLowercasePairsWithoutSeparators) {
    EXPECT_EQ(hexDescription(Bytes{0x00, 0xab, 0x7f, 0xff}), "00ab7fff");
    EXPECT_EQ(hexDescription({}), "");
}

} // namespace
} // namespace quillet
