#include "tools/emulator/SigningRequestParser.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>

namespace veltora::emulator {

namespace {

constexpr std::string_view kPolicyIdHead = "--unique-consistent-string\r\n"
                                           "Content-Disposition: form-data; name=\"SigningPolicyId\"\r\n\r\n";
constexpr std::string_view kPolicyIdTail =
    "\r\n--unique-consistent-string\r\n"
    "Content-Disposition: form-data; name=\"IsFastSigningRequest\"\r\n\r\n"
    "true\r\n"
    "--unique-consistent-string\r\n"
    "Content-Disposition: form-data; name=\"Artifact\"; "
    "filename=\"payload.json\"\r\n"
    "Content-Type: application/json\r\n\r\n";
constexpr std::string_view kBodyTail = "\r\n--unique-consistent-string--\r\n";

Error reject(std::string reason) {
    return Error{"emulator", 400, std::move(reason)};
}

// A cursor over the artifact that accepts exactly the expected literals and
// JSON strings between them.
class ArtifactReader {
public:
    explicit ArtifactReader(std::string_view text) : text_(text) {}

    bool literal(std::string_view expected) {
        if (text_.substr(position_, expected.size()) != expected) {
            return false;
        }
        position_ += expected.size();
        return true;
    }

    // The content of the JSON string up to the next unescaped quote, decoded.
    std::optional<std::string> stringContent() {
        std::string value;
        while (position_ < text_.size()) {
            const char c = text_[position_++];
            if (c == '"') {
                --position_; // the closing quote belongs to the next literal
                return value;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return std::nullopt;
            }
            if (c != '\\') {
                value += c;
                continue;
            }
            if (position_ >= text_.size()) {
                return std::nullopt;
            }
            const char escape = text_[position_++];
            switch (escape) {
            case '"':
            case '\\':
            case '/':
                value += escape;
                break;
            case 'b':
                value += '\b';
                break;
            case 'f':
                value += '\f';
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            case 'u':
                if (!unicodeEscape(value)) {
                    return std::nullopt;
                }
                break;
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    bool atEnd() const { return position_ == text_.size(); }

private:
    std::optional<std::uint32_t> hexQuad() {
        if (text_.size() - position_ < 4) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[position_++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        return value;
    }

    bool unicodeEscape(std::string& value) {
        auto codePoint = hexQuad();
        if (!codePoint) {
            return false;
        }
        if (*codePoint >= 0xD800 && *codePoint <= 0xDBFF) {
            if (!literal("\\u")) {
                return false;
            }
            const auto low = hexQuad();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) {
                return false;
            }
            codePoint = 0x10000 + ((*codePoint - 0xD800) << 10) + (*low - 0xDC00);
        } else if (*codePoint >= 0xDC00 && *codePoint <= 0xDFFF) {
            return false;
        }
        appendUtf8(value, *codePoint);
        return true;
    }

    static void appendUtf8(std::string& value, std::uint32_t codePoint) {
        if (codePoint < 0x80) {
            value += static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            value += static_cast<char>(0xC0 | (codePoint >> 6));
            value += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            value += static_cast<char>(0xE0 | (codePoint >> 12));
            value += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            value += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            value += static_cast<char>(0xF0 | (codePoint >> 18));
            value += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            value += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            value += static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

Result<SigningRequest> parseArtifact(std::string_view artifact, SigningRequest request) {
    if (!nlohmann::json::accept(artifact)) {
        return reject("the Artifact part is not valid JSON");
    }
    ArtifactReader reader(artifact);
    std::optional<std::string> digest;
    std::optional<std::string> hashAlgorithm;
    std::optional<std::string> user;
    const bool wellFormed = reader.literal(R"({"Base64EncodedHash":")") &&
                            (digest = reader.stringContent()) &&
                            reader.literal(R"(","SignatureAlgorithm":"RsaPkcs1","RsaHashAlgorithm":")") &&
                            (hashAlgorithm = reader.stringContent()) &&
                            reader.literal(R"(","Metadata":{"CreatingProcess":{"CommandLine":"","User":")") &&
                            (user = reader.stringContent()) && reader.literal(R"("}}})") && reader.atEnd();
    if (!wellFormed) {
        return reject("the Artifact JSON deviates from the expected members, order or spacing");
    }
    request.digestBase64 = std::move(*digest);
    request.rsaHashAlgorithm = std::move(*hashAlgorithm);
    request.user = std::move(*user);
    return request;
}

} // namespace

Result<SigningRequest> SigningRequestParser::parse(std::string_view body) {
    if (!body.starts_with(kPolicyIdHead)) {
        return reject("the body does not open with the SigningPolicyId part");
    }
    body.remove_prefix(kPolicyIdHead.size());
    const auto tail = body.find(kPolicyIdTail);
    if (tail == std::string_view::npos) {
        return reject("the IsFastSigningRequest and Artifact part headers are missing or differ");
    }
    SigningRequest request;
    request.signingPolicyId = std::string(body.substr(0, tail));
    body.remove_prefix(tail + kPolicyIdTail.size());
    if (!body.ends_with(kBodyTail)) {
        return reject("the body does not close with the final boundary");
    }
    body.remove_suffix(kBodyTail.size());
    return parseArtifact(body, std::move(request));
}

} // namespace veltora::emulator
